#include "platform/linux/AtSpiInspector.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPointer>
#include <QUuid>

#include "core/Log.h"

#include <qcoro/qcorodbuspendingcall.h>

#include <deque>
#include <set>
#include <vector>

namespace dravelin::nix {

namespace {

constexpr int kTimeoutMs = 250;
constexpr int kSearchBudget = 400;
const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");

// AT-SPI state bits.
constexpr int kStateActive = 1;
constexpr int kStateEditable = 7;
constexpr int kStateFocused = 12;
constexpr int kStateShowing = 25;
constexpr int kStateReadOnly = 43;

bool hasState(quint64 states, int bit)
{
    return (states >> bit) & 1u;
}

QCoro::Task<std::optional<QDBusMessage>> call(QDBusConnection bus, QDBusMessage message)
{
    const QDBusPendingCall pending = bus.asyncCall(message, kTimeoutMs);
    co_await pending;
    const QDBusMessage reply = pending.reply();
    if (reply.type() != QDBusMessage::ReplyMessage)
        co_return std::nullopt;
    co_return reply;
}

QDBusMessage method(const AtSpiInspector::Ref &ref, const QString &interface, const QString &name)
{
    return QDBusMessage::createMethodCall(ref.service, ref.path.path(), interface, name);
}

std::optional<AtSpiInspector::Ref> refFrom(const QVariant &value)
{
    if (!value.canConvert<QDBusArgument>())
        return std::nullopt;
    const auto argument = value.value<QDBusArgument>();
    AtSpiInspector::Ref ref;
    argument.beginStructure();
    argument >> ref.service >> ref.path;
    argument.endStructure();
    if (ref.service.isEmpty() || ref.path.path() == u"/org/a11y/atspi/null")
        return std::nullopt;
    return ref;
}

} // namespace

AtSpiInspector::AtSpiInspector(QObject *parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("dravelin-a11y-") + QUuid::createUuid().toString())
{}

AtSpiInspector::~AtSpiInspector()
{
    if (m_bus)
        QDBusConnection::disconnectFromBus(m_connectionName);
}

QCoro::Task<bool> AtSpiInspector::connectBus()
{
    if (m_bus && m_bus->isConnected())
        co_return true;
    QPointer<AtSpiInspector> self(this);
    const QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        co_return false;
    const auto reply = co_await call(
        session, QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")));
    if (!self || !reply || reply->arguments().isEmpty())
        co_return false;
    const QString address = reply->arguments().front().toString();
    QDBusConnection bus = QDBusConnection::connectToBus(address, m_connectionName);
    if (!bus.isConnected())
        co_return false;
    m_bus = bus;
    co_return true;
}

QCoro::Task<bool> AtSpiInspector::isAvailable()
{
    co_return co_await connectBus();
}

QCoro::Task<std::optional<AtSpiInspector::Ref>> AtSpiInspector::application(qint64 pid)
{
    if (!co_await connectBus() || pid <= 0)
        co_return std::nullopt;
    const QDBusConnection bus = *m_bus;
    const auto apps = co_await children(Ref{QStringLiteral("org.a11y.atspi.Registry"),
                                            QDBusObjectPath(QStringLiteral("/org/a11y/atspi/accessible/root"))});
    if (!apps)
        co_return std::nullopt;
    for (const Ref &app : *apps) {
        QDBusMessage ask = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        ask << app.service;
        const auto reply = co_await call(bus, ask);
        if (reply && !reply->arguments().isEmpty() && reply->arguments().front().toLongLong() == pid)
            co_return app;
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<QList<AtSpiInspector::Ref>>> AtSpiInspector::children(Ref ref)
{
    if (!m_bus)
        co_return std::nullopt;
    const auto reply = co_await call(*m_bus, method(ref, kAccessible, QStringLiteral("GetChildren")));
    if (!reply || reply->arguments().isEmpty())
        co_return std::nullopt;
    QList<Ref> refs;
    const auto argument = reply->arguments().front().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        Ref child;
        argument.beginStructure();
        argument >> child.service >> child.path;
        argument.endStructure();
        refs << child;
    }
    argument.endArray();
    co_return refs;
}

QCoro::Task<std::optional<quint64>> AtSpiInspector::states(Ref ref)
{
    if (!m_bus)
        co_return std::nullopt;
    const auto reply = co_await call(*m_bus, method(ref, kAccessible, QStringLiteral("GetState")));
    if (!reply || reply->arguments().isEmpty())
        co_return std::nullopt;
    QList<uint> words;
    const auto argument = reply->arguments().front().value<QDBusArgument>();
    argument >> words;
    quint64 bits = 0;
    for (int i = 0; i < words.size() && i < 2; ++i)
        bits |= static_cast<quint64>(words[i]) << (32 * i);
    co_return bits;
}

QCoro::Task<std::optional<AccessibleElementInfo>> AtSpiInspector::describe(Ref ref)
{
    if (!m_bus)
        co_return std::nullopt;
    const QDBusConnection bus = *m_bus;
    const auto role = co_await call(bus, method(ref, kAccessible, QStringLiteral("GetRoleName")));
    const auto bits = co_await states(ref);
    const auto interfaces = co_await call(bus, method(ref, kAccessible, QStringLiteral("GetInterfaces")));
    if (!role || !bits || role->arguments().isEmpty())
        co_return std::nullopt;
    AccessibleElementInfo info;
    info.role = role->arguments().front().toString();
    info.editable = hasState(*bits, kStateEditable);
    info.readOnly = hasState(*bits, kStateReadOnly);
    if (interfaces && !interfaces->arguments().isEmpty()) {
        const QStringList names = interfaces->arguments().front().toStringList();
        info.hasEditableText = names.contains(QStringLiteral("org.a11y.atspi.EditableText"));
        info.hasText = names.contains(QStringLiteral("org.a11y.atspi.Text"));
    }
    info.id = ref.service + ref.path.path();
    co_return info;
}

QCoro::Task<std::optional<AtSpiInspector::Ref>> AtSpiInspector::parent(Ref ref)
{
    if (!m_bus)
        co_return std::nullopt;
    QDBusMessage get = QDBusMessage::createMethodCall(
        ref.service, ref.path.path(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kAccessible << QStringLiteral("Parent");
    const auto reply = co_await call(*m_bus, get);
    if (!reply || reply->arguments().isEmpty())
        co_return std::nullopt;
    co_return refFrom(reply->arguments().front().value<QDBusVariant>().variant());
}

QCoro::Task<AtSpiInspector::Search> AtSpiInspector::activeWindow(Ref app)
{
    const auto windows = co_await children(app);
    if (!windows)
        co_return Search{};
    bool answered = true;
    std::vector<Ref> showing;
    for (const Ref &window : *windows) {
        const auto bits = co_await states(window);
        if (bits && hasState(*bits, kStateActive))
            co_return Search{window, true};
        answered = answered && bits.has_value();
        if (bits && hasState(*bits, kStateShowing))
            showing.push_back(window);
    }
    // The X server said this application holds the input focus, so one of
    // its windows has it. A toolkit that builds its tree on first use
    // (Chromium) misses the activation that came before and marks no window
    // active; its only window on screen is then the one.
    if (answered && showing.size() == 1) {
        logs::debug(logs::paste(), QStringLiteral("AT-SPI: no window says it is active; using the one showing"));
        co_return Search{showing.front(), true};
    }
    co_return Search{std::nullopt, answered};
}

QCoro::Task<AccessibleLookup> AtSpiInspector::focusedWindow(qint64 pid)
{
    const auto app = co_await application(pid);
    if (!app)
        co_return AccessibleLookup::failed(); // not on the accessibility bus at all
    const Search window = co_await activeWindow(*app);
    if (!window.found) {
        // Browsers build their tree on demand and can miss the 250 ms a call
        // is given: only a full answer without an active window says "none".
        co_return window.complete ? AccessibleLookup::none() : AccessibleLookup::failed();
    }
    const auto info = co_await describe(*window.found);
    if (!info)
        co_return AccessibleLookup::failed();
    co_return AccessibleLookup{AccessibleLookup::Kind::element, {*info}};
}

QCoro::Task<AtSpiInspector::Search> AtSpiInspector::findNode(Ref root, std::function<bool(quint64)> match)
{
    std::deque<Ref> queue{root};
    std::set<QString> seen;
    bool answered = true;
    for (int budget = kSearchBudget; budget > 0 && !queue.empty(); --budget) {
        const Ref ref = queue.front();
        queue.pop_front();
        if (!seen.insert(ref.service + ref.path.path()).second)
            continue;
        const auto bits = co_await states(ref);
        if (!bits) {
            answered = false;
            continue;
        }
        if (match(*bits))
            co_return Search{ref, true};
        if (const auto kids = co_await children(ref)) {
            for (const Ref &kid : *kids)
                queue.push_back(kid);
        } else {
            answered = false;
        }
    }
    co_return Search{std::nullopt, answered && queue.empty()};
}

QCoro::Task<AccessibleLookup> AtSpiInspector::focusedElement(qint64 pid)
{
    const auto app = co_await application(pid);
    if (!app)
        co_return AccessibleLookup::failed();
    const Search window = co_await activeWindow(*app);
    const std::function<bool(quint64)> isFocused = [](quint64 bits) { return hasState(bits, kStateFocused); };
    const Search search = co_await findNode(window.found.value_or(*app), isFocused);
    const std::optional<Ref> focused = search.found;
    if (!focused)
        co_return search.complete ? AccessibleLookup::none() : AccessibleLookup::failed();

    AccessibleLookup lookup{AccessibleLookup::Kind::element, {}};
    std::optional<Ref> current = focused;
    for (int level = 0; current && level <= kAncestorLimit; ++level) {
        const auto info = co_await describe(*current);
        if (!info)
            break;
        lookup.chain.push_back(*info);
        current = co_await parent(*current);
    }
    if (lookup.chain.empty())
        co_return AccessibleLookup::failed();
    co_return lookup;
}

QCoro::Task<bool> AtSpiInspector::wake(qint64 pid)
{
    (void)pid;
    // Toolkits that build their tree only for assistive technology (Chromium,
    // Electron) start doing so when the session says accessibility is on.
    const QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        co_return false;
    QDBusMessage set =
        QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    set << QStringLiteral("org.a11y.Status") << QStringLiteral("IsEnabled") << QVariant::fromValue(QDBusVariant(true));
    const auto reply = co_await call(session, set);
    co_return reply.has_value();
}

QCoro::Task<std::optional<bool>> AtSpiInspector::pasteCommandEnabled(qint64 pid)
{
    // AT-SPI has no common Paste command. Asked only when no node of the
    // active window says it has the focus (GTK 4.8 libadwaita entry rows, for
    // one, never do), the nearest evidence is whether that window holds a
    // field that takes text at all: a window without one cannot take a paste.
    const auto app = co_await application(pid);
    if (!app)
        co_return std::nullopt;
    const Search window = co_await activeWindow(*app);
    if (!window.found)
        co_return std::nullopt;
    const std::function<bool(quint64)> takesText = [](quint64 bits) {
        return hasState(bits, kStateEditable) && !hasState(bits, kStateReadOnly);
    };
    const Search search = co_await findNode(*window.found, takesText);
    if (search.found)
        co_return true;
    if (!search.complete)
        co_return std::nullopt;
    co_return false;
}

} // namespace dravelin::nix
