// The D-Bus control interface on a private bus daemon, driving a pipeline
// wired to recording fakes, and `dravelin --toggle` as a desktop shortcut runs it.

#include "platform/linux/DBusAppControl.h"
#include "support/PipelineRig.h"
#include "support/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

class DBusControlTest : public ::testing::Test, protected PipelineRig
{
protected:
    DBusControlTest()
    {
        DictationCapture capture;
        capture.audio = QByteArray(5000, 'a');
        capture.durationMs = 2100;
        recorder.captureToReturn = capture;
        build();
        control = std::make_unique<nix::DBusAppControl>(pipeline->controlActions(), connect(u"service"));
        QSignalSpy claimed(control.get(), &nix::DBusAppControl::nameRequestFinished);
        EXPECT_TRUE(control->publish());
        EXPECT_TRUE(claimed.wait(5000));
        EXPECT_EQ(claimed.value(0).value(0), QVariant(true));
        client = std::make_unique<QDBusConnection>(connect(u"client"));
    }

    ~DBusControlTest() override
    {
        control.reset();
        shutDown();
    }

    QDBusConnection connect(QStringView role) { return bus.connect(role); }

    // Calls a method as another process would, answering the service's side
    // on this thread's event loop meanwhile; the reply's string, or the error.
    QString call(const QString &method)
    {
        const QDBusPendingReply<> reply = client->asyncCall(
            QDBusMessage::createMethodCall(QString::fromLatin1(nix::DBusAppControl::kServiceName),
                                           QString::fromLatin1(nix::DBusAppControl::kObjectPath),
                                           QString::fromLatin1(nix::DBusAppControl::kInterface), method));
        if (!QTest::qWaitFor([&reply] { return reply.isFinished(); }, 5000))
            return QStringLiteral("timed out");
        if (reply.isError())
            return reply.error().name();
        const QVariant value = reply.reply().arguments().value(0);
        return value.isValid() ? value.toString() : QString();
    }

    struct Run
    {
        int status = -1;
        QString errors = {};
    };
    // `dravelin` with one switch against `busAddress`, waited for on the event loop.
    Run runApp(const QString &option, const QString &busAddress)
    {
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        env.remove(QStringLiteral("DISPLAY"));
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(DRAVELIN_APP_BINARY), {option});
        if (!QTest::qWaitFor([&app] { return app.state() == QProcess::NotRunning; }, 10000))
            app.kill();
        return {app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -1,
                QString::fromUtf8(app.readAllStandardError())};
    }

    PrivateBus bus;
    std::unique_ptr<nix::DBusAppControl> control;
    std::unique_ptr<QDBusConnection> client;
};

TEST_F(DBusControlTest, MethodsDriveThePipelineLikeItsHotkeys)
{
    EXPECT_EQ(call(QStringLiteral("State")), u"idle");
    EXPECT_EQ(call(QStringLiteral("Toggle")), QString());
    scheduler.advance(100ms);
    EXPECT_EQ(call(QStringLiteral("State")), u"recording");
    EXPECT_EQ(call(QStringLiteral("Toggle")), QString());
    scheduler.runPending();
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("Hello there.")});
    EXPECT_EQ(call(QStringLiteral("State")), u"idle");

    // Start and Stop act only where they apply.
    EXPECT_EQ(call(QStringLiteral("Stop")), QString());
    EXPECT_EQ(call(QStringLiteral("Start")), QString());
    scheduler.advance(100ms);
    EXPECT_EQ(call(QStringLiteral("Start")), QString());
    EXPECT_EQ(call(QStringLiteral("State")), u"recording");
    EXPECT_EQ(call(QStringLiteral("Stop")), QString());
    scheduler.runPending();
    EXPECT_EQ(recorder.startCalls, 2);
    EXPECT_EQ(recorder.stopCalls, 2);
    EXPECT_EQ(paste.pasted.size(), 2);

    EXPECT_EQ(call(QStringLiteral("Toggle")), QString());
    scheduler.advance(100ms);
    EXPECT_EQ(call(QStringLiteral("Cancel")), QString());
    scheduler.runPending();
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(recorder.stopCalls, 2);
    EXPECT_EQ(call(QStringLiteral("State")), u"idle");

    EXPECT_EQ(call(QStringLiteral("PrivatePaste")), QString());
    scheduler.runPending();
    EXPECT_EQ(paste.pasted, QStringList(3, QStringLiteral("Hello there.")));
    EXPECT_EQ(call(QStringLiteral("NoSuchMethod")), u"org.freedesktop.DBus.Error.UnknownMethod");
}

TEST_F(DBusControlTest, SecondInstanceLeavesTheNameToTheFirstAndSaysSo)
{
    nix::DBusAppControl second(pipeline->controlActions(), connect(u"second"));
    QSignalSpy claimed(&second, &nix::DBusAppControl::nameRequestFinished);
    ASSERT_TRUE(second.publish());
    ASSERT_TRUE(claimed.wait(5000));
    EXPECT_EQ(claimed.value(0).value(0), QVariant(false));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("app"), QStringLiteral("D-Bus control unavailable: "
                                                                     "org.dravelin.Dravelin is owned by another")));
    EXPECT_EQ(call(QStringLiteral("Toggle")), QString()); // the first still answers
    scheduler.advance(100ms);
    EXPECT_EQ(recorder.startCalls, 1);
}

TEST_F(DBusControlTest, CommandLineSwitchesReachTheRunningAppOrSayItIsNotRunning)
{
    const Run toggled = runApp(QStringLiteral("--toggle"), bus.address());
    EXPECT_EQ(toggled.status, 0) << qPrintable(toggled.errors);
    scheduler.advance(100ms);
    EXPECT_EQ(pipeline->state(), PipelineState::recording);
    EXPECT_EQ(runApp(QStringLiteral("--cancel"), bus.address()).status, 0);
    scheduler.runPending();
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(pipeline->state(), PipelineState::idle);

    control.reset(); // the app quits and gives up its name
    const QString name = QString::fromLatin1(nix::DBusAppControl::kServiceName);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !client->interface()->isServiceRegistered(name).value(); }, 5000));
    for (const QString &busAddress : {bus.address(), QStringLiteral("unix:path=/nonexistent/bus")}) {
        const Run refused = runApp(QStringLiteral("--toggle"), busAddress);
        EXPECT_EQ(refused.status, 3) << qPrintable(busAddress);
        EXPECT_TRUE(refused.errors.startsWith(u"Dravelin is not running; start it first (dravelin)"))
            << qPrintable(refused.errors);
    }
    EXPECT_EQ(recorder.startCalls, 1);
}

} // namespace
