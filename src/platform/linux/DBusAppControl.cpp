#include "platform/linux/DBusAppControl.h"

#include "core/Log.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace dravelin::nix {

namespace {

// RequestName's flag and answers, as the bus daemon numbers them.
constexpr uint kDoNotQueue = 4;
constexpr uint kPrimaryOwner = 1;
constexpr uint kAlreadyOwner = 4;

void run(const std::function<void()> &action)
{
    if (action)
        action();
}

} // namespace

DBusAppControl::DBusAppControl(AppControlActions actions, QDBusConnection connection, QObject *parent)
    : QObject(parent)
    , m_actions(std::move(actions))
    , m_connection(std::move(connection))
{}

DBusAppControl::~DBusAppControl()
{
    if (m_exported)
        m_connection.unregisterObject(QString::fromLatin1(kObjectPath));
    // Let a later instance have the name at once; the bus drops it anyway
    // when this connection closes.
    if (m_ownsName)
        m_connection.send(QDBusMessage::createMethodCall(
                              QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                              QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"))
                          << QString::fromLatin1(kServiceName));
}

bool DBusAppControl::publish()
{
    if (!m_connection.isConnected()) {
        logs::error(
            logs::app(),
            QStringLiteral("D-Bus control unavailable: no session bus (%1)").arg(m_connection.lastError().message()));
        return false;
    }
    if (!m_connection.registerObject(QString::fromLatin1(kObjectPath), this, QDBusConnection::ExportAllSlots)) {
        logs::error(
            logs::app(),
            QStringLiteral("D-Bus control unavailable: %1 is already exported").arg(QString::fromLatin1(kObjectPath)));
        return false;
    }
    m_exported = true;
    // Asked asynchronously: the bus's answer must not hold up start-up.
    QDBusMessage request =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    request << QString::fromLatin1(kServiceName) << kDoNotQueue;
    auto *watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(request), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) {
            logs::error(logs::app(), QStringLiteral("D-Bus control unavailable: could not claim %1 (%2)")
                                         .arg(QString::fromLatin1(kServiceName), reply.error().message()));
        } else if (reply.value() == kPrimaryOwner || reply.value() == kAlreadyOwner) {
            m_ownsName = true;
            logs::info(
                logs::app(),
                QStringLiteral("D-Bus control ready: %1 (dravelin --toggle)").arg(QString::fromLatin1(kServiceName)));
        } else {
            logs::error(logs::app(),
                        QStringLiteral("D-Bus control unavailable: %1 is owned by another running Dravelin; "
                                       "dravelin --toggle and the other switches control that one")
                            .arg(QString::fromLatin1(kServiceName)));
        }
        Q_EMIT nameRequestFinished(m_ownsName);
    });
    return true;
}

DBusAppControl::CallResult DBusAppControl::callRunningApp(QDBusConnection connection, const QString &method,
                                                          QString *detail)
{
    if (!connection.isConnected()) {
        if (detail)
            *detail = connection.lastError().message();
        return CallResult::noBus;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kServiceName), QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface), method);
    call.setAutoStartService(false);
    const QDBusMessage reply = connection.call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ErrorMessage)
        return CallResult::done;
    if (detail)
        *detail = reply.errorMessage();
    const bool nobodyOwnsName = QDBusError(reply).type() == QDBusError::ServiceUnknown ||
                                reply.errorName() == u"org.freedesktop.DBus.Error.NameHasNoOwner";
    return nobodyOwnsName ? CallResult::notRunning : CallResult::failed;
}

void DBusAppControl::Toggle()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: Toggle"));
    run(m_actions.toggle);
}

void DBusAppControl::Start()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: Start"));
    run(m_actions.start);
}

void DBusAppControl::Stop()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: Stop"));
    run(m_actions.stop);
}

void DBusAppControl::Cancel()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: Cancel"));
    run(m_actions.cancel);
}

void DBusAppControl::PrivatePaste()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: PrivatePaste"));
    run(m_actions.privatePaste);
}

void DBusAppControl::RewriteSelection()
{
    logs::info(logs::app(), QStringLiteral("D-Bus: RewriteSelection"));
    run(m_actions.rewriteSelection);
}

QString DBusAppControl::State() const
{
    return m_actions.state ? m_actions.state() : QStringLiteral("idle");
}

} // namespace dravelin::nix
