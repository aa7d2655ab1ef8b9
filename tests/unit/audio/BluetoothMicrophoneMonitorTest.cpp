#include "audio/BluetoothMicrophoneMonitor.h"
#include "audio/MicCaptureSession.h"
#include "core/UserDefaults.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

AudioInputInfo device(const QString &id, bool bluetooth, bool builtIn = false, bool monitor = false)
{
    AudioInputInfo info{id, id + QStringLiteral(" name"), bluetooth, monitor, 48000};
    info.isBuiltIn = builtIn;
    return info;
}

class BluetoothMicrophoneMonitorTest : public ::testing::Test
{
protected:
    BluetoothMicrophoneMonitorTest() : defaults(dir.filePath(QStringLiteral("s.json")))
    {
        backend.devices = {device(QStringLiteral("builtin"), false, true)};
    }

    std::unique_ptr<BluetoothMicrophoneMonitor> startMonitor()
    {
        auto monitor = std::make_unique<BluetoothMicrophoneMonitor>(defaults, scheduler, backend, queues.factory());
        monitor->start();
        queues.pump(scheduler);
        return monitor;
    }

    // The sound server reports a change: the monitor reads the list again.
    void devicesChanged(QList<AudioInputInfo> devices)
    {
        backend.devices = std::move(devices);
        ASSERT_TRUE(backend.onDevicesChanged);
        backend.onDevicesChanged();
        queues.pump(scheduler);
    }

    QString shownID(const BluetoothMicrophoneMonitor &monitor) const
    {
        return monitor.prompt() ? monitor.prompt()->bluetoothUniqueID : QString();
    }

    bool logged(const QString &message) const { return logs.has(QStringLiteral("bluetooth-microphone"), message); }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeAudioBackend backend;
    ManualQueues queues;
};

TEST(BluetoothMicrophoneChoice, RecommendsTheDefaultThenBuiltInThenAnyNonBluetoothMicrophone)
{
    const auto headset = device(QStringLiteral("bt"), true);
    const auto usb = device(QStringLiteral("usb"), false);
    const auto internal = device(QStringLiteral("internal"), false, true);
    const auto monitor = device(QStringLiteral("out.monitor"), false, true, true);
    using AudioInputDevice::preferredSystemCaptureDevice;

    EXPECT_EQ(preferredSystemCaptureDevice({headset, usb, internal}, usb, QStringLiteral("bt"))->uniqueID,
              QStringLiteral("usb"));
    // The default is the headset itself: the built-in input comes first.
    EXPECT_EQ(preferredSystemCaptureDevice({headset, usb, internal}, headset, QStringLiteral("bt"))->uniqueID,
              QStringLiteral("internal"));
    EXPECT_EQ(preferredSystemCaptureDevice({headset, usb}, std::nullopt, QStringLiteral("bt"))->uniqueID,
              QStringLiteral("usb"));
    // An output's monitor is not a microphone; Bluetooth inputs are never recommended.
    EXPECT_FALSE(preferredSystemCaptureDevice({headset, monitor, device(QStringLiteral("bt2"), true)}, monitor,
                                              QStringLiteral("bt")));
}

TEST_F(BluetoothMicrophoneMonitorTest, TwoHeadsetsArePromptedOneAfterTheOtherAndNeverAgain)
{
    backend.devices << device(QStringLiteral("bt-a"), true) << device(QStringLiteral("bt-b"), true);
    auto monitor = startMonitor();

    ASSERT_EQ(shownID(*monitor), QStringLiteral("bt-a"));
    EXPECT_EQ(monitor->prompt()->systemUniqueID, QStringLiteral("builtin"));
    EXPECT_TRUE(logged(QStringLiteral("Bluetooth microphone connected: 'bt-b name'")));
    // Both are marked once shown: only the first so far.
    EXPECT_EQ(defaults.stringArray(QStringLiteral("bluetoothMicrophone.promptedDeviceIDs")),
              QStringList{QStringLiteral("bt-a")});

    scheduler.advance(4999ms);
    EXPECT_EQ(shownID(*monitor), QStringLiteral("bt-a"));
    scheduler.advance(1ms);
    EXPECT_TRUE(logged(QStringLiteral("Bluetooth microphone notification dismissed automatically after five seconds")));
    ASSERT_EQ(shownID(*monitor), QStringLiteral("bt-b"));
    // The second prompt gets its own five seconds.
    scheduler.advance(4999ms);
    EXPECT_EQ(shownID(*monitor), QStringLiteral("bt-b"));
    scheduler.advance(1ms);
    EXPECT_FALSE(monitor->prompt());
    EXPECT_EQ(defaults.stringArray(QStringLiteral("bluetoothMicrophone.promptedDeviceIDs")),
              (QStringList{QStringLiteral("bt-a"), QStringLiteral("bt-b")}));

    // A restart, and the headsets reconnecting later, prompt no more.
    monitor.reset();
    monitor = startMonitor();
    devicesChanged({device(QStringLiteral("builtin"), false, true)});
    devicesChanged({device(QStringLiteral("builtin"), false, true), device(QStringLiteral("bt-a"), true)});
    EXPECT_FALSE(monitor->prompt());
    EXPECT_TRUE(logged(QStringLiteral("Bluetooth microphone reconnected; notification already shown: 'bt-a name'")));
}

TEST_F(BluetoothMicrophoneMonitorTest, DisconnectingTheShownHeadsetClosesItsPromptAndShowsTheNext)
{
    auto monitor = startMonitor();
    EXPECT_FALSE(monitor->prompt());
    const auto builtin = device(QStringLiteral("builtin"), false, true);
    devicesChanged({builtin, device(QStringLiteral("bt-a"), true), device(QStringLiteral("bt-b"), true),
                    device(QStringLiteral("bt-c"), true)});
    ASSERT_EQ(shownID(*monitor), QStringLiteral("bt-a"));

    // bt-c leaves while still queued; bt-a leaves while on screen.
    devicesChanged({builtin, device(QStringLiteral("bt-b"), true)});
    EXPECT_TRUE(
        logged(QStringLiteral("Bluetooth microphone disconnected while its notification was visible: 'bt-a name'")));
    ASSERT_EQ(shownID(*monitor), QStringLiteral("bt-b"));
    // The dismissal timer started again for bt-b.
    scheduler.advance(4000ms);
    EXPECT_EQ(shownID(*monitor), QStringLiteral("bt-b"));
    scheduler.advance(1000ms);
    EXPECT_FALSE(monitor->prompt());
}

TEST_F(BluetoothMicrophoneMonitorTest, ChoicesSelectTheMicrophone)
{
    // With only Bluetooth inputs the system choice is the system default.
    backend.devices = {device(QStringLiteral("bt-a"), true), device(QStringLiteral("bt-b"), true)};
    defaults.set(QString::fromLatin1(MicCaptureSession::kDeviceKey), QStringLiteral("somewhere"));
    auto monitor = startMonitor();
    monitor->choose(BluetoothMicrophoneChoice::systemMicrophone);
    EXPECT_EQ(defaults.string(QString::fromLatin1(MicCaptureSession::kDeviceKey)), QString());
    EXPECT_TRUE(logged(QStringLiteral("User selected System Microphone 'system default'")));

    ASSERT_EQ(shownID(*monitor), QStringLiteral("bt-b"));
    monitor->choose(BluetoothMicrophoneChoice::bluetoothMicrophone);
    EXPECT_EQ(defaults.string(QString::fromLatin1(MicCaptureSession::kDeviceKey)), QStringLiteral("bt-b"));
    EXPECT_TRUE(logged(QStringLiteral("User selected Bluetooth microphone 'bt-b name'")));
    EXPECT_FALSE(monitor->prompt());
    // Without a prompt a choice does nothing.
    monitor->choose(BluetoothMicrophoneChoice::systemMicrophone);
    EXPECT_EQ(defaults.string(QString::fromLatin1(MicCaptureSession::kDeviceKey)), QStringLiteral("bt-b"));
}

} // namespace
