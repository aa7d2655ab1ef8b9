// Global shortcuts through a desktop portal: a stand-in for the portal's
// GlobalShortcuts interface on a private bus, answering as the desktop does
// (request objects, Response signals, Activated and Deactivated), and the
// grabber Dravelin uses on Wayland talking to it.

#include "platform/linux/PortalGlobalShortcuts.h"
#include "support/LogCapture.h"
#include "support/PrivateBus.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {
struct FakeShortcut
{
    QString id;
    QVariantMap properties;
};
QDBusArgument &operator<<(QDBusArgument &a, const FakeShortcut &s)
{
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument &operator>>(const QDBusArgument &a, FakeShortcut &s)
{
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}
} // namespace
Q_DECLARE_METATYPE(FakeShortcut)

using namespace dravelin;
using namespace dravelin::test;

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kSession = QStringLiteral("/org/freedesktop/portal/desktop/session/1_1/dravelin");

// Answers like the desktop portal: every call returns a request object and
// the result follows as that object's Response signal. Binding assigns each
// shortcut its preferred trigger.
class FakePortal final : public QDBusVirtualObject
{
public:
    explicit FakePortal(QDBusConnection bus) : m_bus(std::move(bus)) {}

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() == u"Get") {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
            return true;
        }
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().last());
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString request = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') +
                                options.value(QStringLiteral("handle_token")).toString();
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        if (message.member() == u"CreateSession") {
            results.insert(QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(kSession)));
        } else if (message.member() == u"BindShortcuts") {
            bound = qdbus_cast<QList<FakeShortcut>>(message.arguments().at(1));
            QList<FakeShortcut> assigned;
            for (FakeShortcut shortcut : std::as_const(bound)) {
                shortcut.properties = {{QStringLiteral("trigger_description"),
                                        shortcut.properties.value(QStringLiteral("preferred_trigger"))}};
                assigned << shortcut;
            }
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(assigned));
        }
        QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << 0u << results;
        connection.send(response);
        return true;
    }

    void press(const QString &session, const QString &id, bool down)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            kPath, kInterface, down ? QStringLiteral("Activated") : QStringLiteral("Deactivated"));
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0) << QVariantMap();
        m_bus.send(signal);
    }

    QList<FakeShortcut> bound;

private:
    QDBusConnection m_bus;
};

} // namespace

TEST(PortalShortcutsTest, ShortcutsAreBoundTogetherAndReportPressAndRelease)
{
    qDBusRegisterMetaType<FakeShortcut>();
    qDBusRegisterMetaType<QList<FakeShortcut>>();
    PrivateBus bus;
    QDBusConnection portalSide = bus.connect(u"portal");
    FakePortal portal(portalSide);
    ASSERT_TRUE(portalSide.registerVirtualObject(kPath, &portal));
    ASSERT_TRUE(portalSide.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));

    nix::PortalGlobalShortcuts shortcuts(bus.connect(u"app"));
    QList<std::pair<quint32, bool>> events;
    shortcuts.onHotkey = [&events](quint32 id, bool pressed) { events.append({id, pressed}); };
    QSignalSpy bound(&shortcuts, &nix::PortalGlobalShortcuts::bound);
    // Space with Command+Shift (Ctrl+Shift on Linux), V with Command+Control (Ctrl+Super).
    EXPECT_EQ(shortcuts.grab(1, 49, 0x0300), GlobalHotkeyGrabber::GrabStatus::ok);
    EXPECT_EQ(shortcuts.grab(2, 9, 0x1100), GlobalHotkeyGrabber::GrabStatus::ok);
    ASSERT_TRUE(bound.wait(5000));
    EXPECT_EQ(bound.value(0).value(0), QVariant(true));
    ASSERT_EQ(portal.bound.size(), 2); // one bind for both
    EXPECT_EQ(portal.bound[0].properties.value(QStringLiteral("preferred_trigger")),
              QStringLiteral("CTRL+SHIFT+space"));
    EXPECT_EQ(portal.bound[1].properties.value(QStringLiteral("preferred_trigger")), QStringLiteral("CTRL+LOGO+v"));
    EXPECT_EQ(shortcuts.assigned().at(1), QStringLiteral("CTRL+SHIFT+space"));

    // Press and release reach the pipeline; another session's do not.
    portal.press(kSession, portal.bound[0].id, true);
    portal.press(QStringLiteral("/org/freedesktop/portal/desktop/session/1_1/other"), portal.bound[1].id, true);
    portal.press(kSession, portal.bound[0].id, false);
    ASSERT_TRUE(QTest::qWaitFor([&events] { return events.size() == 2; }, 5000));
    EXPECT_EQ(events, (QList<std::pair<quint32, bool>>{{1, true}, {1, false}}));

    // A change rebinds the whole list.
    shortcuts.ungrab(2);
    ASSERT_TRUE(bound.wait(5000));
    EXPECT_EQ(portal.bound.size(), 1);
}

TEST(PortalShortcutsTest, WithoutThePortalGrabsAreRefusedAndTheCommandIsSuggested)
{
    LogCapture logs;
    PrivateBus bus;
    nix::PortalGlobalShortcuts shortcuts(bus.connect(u"app"));
    QSignalSpy bound(&shortcuts, &nix::PortalGlobalShortcuts::bound);
    ASSERT_TRUE(bound.wait(5000));
    EXPECT_FALSE(shortcuts.isAvailable());
    EXPECT_EQ(shortcuts.grab(1, 49, 0x0300), GlobalHotkeyGrabber::GrabStatus::unavailable);
    EXPECT_TRUE(logs.messages(QStringLiteral("hotkey")).join(u'\n').contains(u"dravelin --toggle"));
}
