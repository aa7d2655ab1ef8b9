#include "platform/linux/PortalGlobalShortcuts.h"

#include "core/Log.h"
#include "platform/linux/MacKeyCodes.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace {

// One entry of the portal's shortcut lists: an id and its properties
// ("description", "preferred_trigger"; "trigger_description" in answers).
struct PortalShortcut
{
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace dravelin::nix {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kIdPrefix = QStringLiteral("dravelin-");

QString describe(quint32 id)
{
    switch (id) {
    case 1:
        return QStringLiteral("Dictate (press to start and stop, or hold to talk)");
    case 2:
        return QStringLiteral("Paste the latest transcript again");
    case 3:
        return QStringLiteral("Cancel the dictation");
    case 4:
        return QStringLiteral("Rewrite the selected text");
    default:
        return QStringLiteral("Dravelin transform %1").arg(id);
    }
}

QString pathOf(const QVariant &value)
{
    // Older portals answer the session handle as a string, newer as a path.
    return value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path() : value.toString();
}

} // namespace

std::optional<QString> PortalGlobalShortcuts::triggerFor(quint16 keyCode, quint32 modifiers)
{
    const auto evdev = evdevFromVirtualKey(keyCode);
    if (!evdev)
        return std::nullopt;
    // Key names as a US keymap gives them: the portal's triggers name keysyms.
    static const auto keymap = [] {
        std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                           &xkb_context_unref);
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        return std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>(
            context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr,
            &xkb_keymap_unref);
    }();
    if (!keymap)
        return std::nullopt;
    const xkb_keysym_t *syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap.get(), xkb_keycode_t(*evdev + 8), 0, 0, &syms) < 1)
        return std::nullopt;
    char name[64];
    if (xkb_keysym_get_name(syms[0], name, sizeof name) <= 0)
        return std::nullopt;
    // Binding modifiers: "command" is Control and "control" is Super on Linux.
    QStringList parts;
    if (modifiers & 0x0100)
        parts << QStringLiteral("CTRL");
    if (modifiers & 0x0800)
        parts << QStringLiteral("ALT");
    if (modifiers & 0x0200)
        parts << QStringLiteral("SHIFT");
    if (modifiers & 0x1000)
        parts << QStringLiteral("LOGO");
    parts << QString::fromLatin1(name);
    return parts.join(QLatin1Char('+'));
}

PortalGlobalShortcuts::PortalGlobalShortcuts(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    if (!m_bus.isConnected()) {
        giveUp(QStringLiteral("no session bus"));
        return;
    }
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this, SLOT(onDeactivated(QDBusMessage)));
    // Whether the portal is there and has the interface: its version property.
    QDBusMessage probe = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    probe << kInterface << QStringLiteral("version");
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(probe), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        if (call->isError()) {
            giveUp(QStringLiteral("the desktop portal offers no GlobalShortcuts (%1)").arg(call->error().message()));
            return;
        }
        createSession();
    });
}

void PortalGlobalShortcuts::giveUp(const QString &why)
{
    m_state = State::absent;
    logs::error(logs::hotkey(), QStringLiteral("Global shortcuts unavailable: %1 — bind `dravelin --toggle` to a "
                                               "shortcut in the desktop's settings instead")
                                    .arg(why));
    Q_EMIT bound(false);
}

void PortalGlobalShortcuts::callWithRequest(const QString &method, QList<QVariant> arguments, QVariantMap options,
                                            const char *slot)
{
    // The answer comes as a Response signal on a request object whose path
    // the token decides; listening before calling leaves no gap.
    const QString token = QStringLiteral("dravelin%1").arg(++m_tokens);
    options.insert(QStringLiteral("handle_token"), token);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString request = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    m_bus.connect(kService, request, kRequest, QStringLiteral("Response"), this, slot);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    arguments << options;
    call.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher *reply) {
        reply->deleteLater();
        if (reply->isError())
            giveUp(QStringLiteral("%1 failed (%2)").arg(method, reply->error().message()));
    });
}

void PortalGlobalShortcuts::createSession()
{
    m_state = State::creating;
    callWithRequest(QStringLiteral("CreateSession"), {},
                    {{QStringLiteral("session_handle_token"), QStringLiteral("dravelin")}},
                    SLOT(onSessionCreated(uint, QVariantMap)));
}

void PortalGlobalShortcuts::onSessionCreated(uint response, const QVariantMap &results)
{
    if (m_state != State::creating)
        return;
    m_session = pathOf(results.value(QStringLiteral("session_handle")));
    if (response != 0 || m_session.isEmpty()) {
        giveUp(QStringLiteral("the desktop refused a shortcuts session (response %1)").arg(response));
        return;
    }
    m_state = State::ready;
    logs::info(logs::hotkey(), QStringLiteral("Global shortcuts through the desktop portal"));
    if (!m_triggers.empty())
        bindNow();
}

GlobalHotkeyGrabber::GrabStatus PortalGlobalShortcuts::grab(quint32 id, quint16 keyCode, quint32 modifiers)
{
    if (m_state == State::absent)
        return GrabStatus::unavailable;
    const auto trigger = triggerFor(keyCode, modifiers);
    if (!trigger)
        return GrabStatus::unsupportedKey;
    m_triggers[id] = *trigger;
    scheduleBind();
    return GrabStatus::ok;
}

void PortalGlobalShortcuts::ungrab(quint32 id)
{
    if (m_triggers.erase(id) > 0)
        scheduleBind();
}

void PortalGlobalShortcuts::scheduleBind()
{
    // Grabs arrive one after another while the hotkeys are registered; one
    // bind for all of them, once control returns to the event loop.
    if (std::exchange(m_bindScheduled, true))
        return;
    QTimer::singleShot(0, this, [this] {
        m_bindScheduled = false;
        bindNow();
    });
}

void PortalGlobalShortcuts::bindNow()
{
    if (m_state != State::ready)
        return; // the session's creation binds what is there by then
    if (m_binding) {
        m_rebind = true;
        return;
    }
    QList<PortalShortcut> shortcuts;
    for (const auto &[id, trigger] : m_triggers)
        shortcuts << PortalShortcut{
            kIdPrefix + QString::number(id),
            {{QStringLiteral("description"), describe(id)}, {QStringLiteral("preferred_trigger"), trigger}}};
    m_binding = true;
    callWithRequest(QStringLiteral("BindShortcuts"),
                    {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()}, {},
                    SLOT(onBound(uint, QVariantMap)));
}

void PortalGlobalShortcuts::onBound(uint response, const QVariantMap &results)
{
    m_binding = false;
    if (response != 0) {
        logs::error(logs::hotkey(), QStringLiteral("The desktop did not bind Dravelin's shortcuts (response %1: "
                                                   "cancelled or refused)")
                                        .arg(response));
        Q_EMIT bound(false);
    } else {
        m_assigned.clear();
        const auto shortcuts = qdbus_cast<QList<PortalShortcut>>(results.value(QStringLiteral("shortcuts")));
        QStringList summary;
        for (const PortalShortcut &shortcut : shortcuts) {
            bool ok = false;
            const quint32 id = QStringView(shortcut.id).mid(kIdPrefix.size()).toUInt(&ok);
            const QString keys = shortcut.properties.value(QStringLiteral("trigger_description")).toString();
            if (!ok || !shortcut.id.startsWith(kIdPrefix))
                continue;
            m_assigned[id] = keys;
            summary << QStringLiteral("%1=%2").arg(id).arg(keys.isEmpty() ? QStringLiteral("(none)") : keys);
        }
        logs::info(logs::hotkey(), QStringLiteral("Desktop shortcuts bound: %1").arg(summary.join(u' ')));
        Q_EMIT bound(true);
    }
    if (std::exchange(m_rebind, false))
        bindNow();
}

std::optional<quint32> PortalGlobalShortcuts::idOf(const QDBusMessage &signal) const
{
    // Activated and Deactivated carry (session handle, shortcut id, timestamp, options).
    const QList<QVariant> arguments = signal.arguments();
    if (arguments.size() < 2 || pathOf(arguments.at(0)) != m_session)
        return std::nullopt;
    const QString shortcut = arguments.at(1).toString();
    if (!shortcut.startsWith(kIdPrefix))
        return std::nullopt;
    bool ok = false;
    const quint32 id = QStringView(shortcut).mid(kIdPrefix.size()).toUInt(&ok);
    if (!ok || !m_triggers.contains(id))
        return std::nullopt;
    return id;
}

void PortalGlobalShortcuts::onActivated(const QDBusMessage &signal)
{
    if (const auto id = idOf(signal); id && onHotkey)
        onHotkey(*id, true);
}

void PortalGlobalShortcuts::onDeactivated(const QDBusMessage &signal)
{
    if (const auto id = idOf(signal); id && onHotkey)
        onHotkey(*id, false);
}

} // namespace dravelin::nix
