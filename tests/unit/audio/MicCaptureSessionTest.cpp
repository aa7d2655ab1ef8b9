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

class MicCaptureSessionTest : public ::testing::Test
{
protected:
    MicCaptureSessionTest()
        : defaults(dir.filePath(QStringLiteral("s.json")))
        , session(std::make_unique<MicCaptureSession>(QStringLiteral("test"), backend, scheduler, defaults,
                                                      queues.factory()))
    {}
    ~MicCaptureSessionTest() override
    {
        session.reset();
        queues.pump(scheduler);
    }

    // Starts capturing into `received`, running queue and main thread until live.
    Expected<AudioInputInfo, MicCaptureError> startCapture()
    {
        std::optional<Expected<AudioInputInfo, MicCaptureError>> result;
        auto task = [](MicCaptureSession &s, std::vector<size_t> &sink,
                       std::optional<Expected<AudioInputInfo, MicCaptureError>> &out) -> QCoro::Task<> {
            MicBufferSink::Callback collect = [&sink](PcmBuffer b) { sink.push_back(b.samples.size()); };
            out = co_await s.start(collect);
        }(*session, received, result);
        queues.pump(scheduler);
        EXPECT_TRUE(result.has_value());
        return result.value_or(Unexpected{MicCaptureError::configurationFailed});
    }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeAudioBackend backend;
    ManualQueues queues;
    std::unique_ptr<MicCaptureSession> session;
    std::vector<size_t> received;
};

bool hasLog(const LogCapture &logs, const QString &message)
{
    return logs.has(QStringLiteral("audio-device"), message);
}

} // namespace

TEST_F(MicCaptureSessionTest, StartsOnTheSavedDeviceAndReusesItsGraph)
{
    defaults.set(QStringLiteral("mic.deviceID"), QStringLiteral("usb"));
    const auto device = startCapture();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->uniqueID, QStringLiteral("usb"));
    EXPECT_TRUE(
        hasLog(logs, QStringLiteral("[test] capture device set to 'USB Headset' (uid usb, hardware 16000 Hz)")));
    EXPECT_TRUE(hasLog(logs, QStringLiteral("[test] verified session input is 'USB Headset'")));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("audio-device"),
                               QStringLiteral("[test] capture started on 'USB Headset' → 16000 Hz mono float32")));
    EXPECT_TRUE(session->isCapturing());
    EXPECT_EQ(session->activeDeviceName(), QStringLiteral("USB Headset"));

    session->stop();
    queues.pump(scheduler);
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(backend.openCount, 1); // same device: the graph is kept
}

TEST_F(MicCaptureSessionTest, AStaleSavedDeviceFallsBackToTheDefaultAndIsKept)
{
    defaults.set(QStringLiteral("mic.deviceID"), QStringLiteral("unplugged"));
    const auto device = startCapture();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->uniqueID, QStringLiteral("builtin"));
    EXPECT_TRUE(
        hasLog(logs, QStringLiteral("[test] saved mic 'unplugged' not present — falling back to system default: "
                                    "'Built-in Microphone' (builtin)")));
    EXPECT_TRUE(
        hasLog(logs, QStringLiteral("Available input devices: 'Built-in Microphone' (builtin), 'USB Headset' (usb)")));
    EXPECT_EQ(defaults.string(QStringLiteral("mic.deviceID")), QStringLiteral("unplugged"));
}

TEST_F(MicCaptureSessionTest, MissingOrUnopenableDevicesFailTheStart)
{
    backend.defaultID = QStringLiteral("none");
    auto noDevice = startCapture();
    ASSERT_FALSE(noDevice);
    EXPECT_EQ(noDevice.error(), MicCaptureError::noDevice);
    EXPECT_TRUE(
        logs.has(QStringLiteral("audio-device"), QStringLiteral("[test] no microphone available"), logs::Level::error));

    backend.defaultID = QStringLiteral("builtin");
    backend.openError = QStringLiteral("Access denied");
    auto unopenable = startCapture();
    ASSERT_FALSE(unopenable);
    EXPECT_EQ(unopenable.error(), MicCaptureError::configurationFailed);
    EXPECT_TRUE(hasLog(logs, QStringLiteral("[test] could not open 'Built-in Microphone': Access denied")));
    EXPECT_FALSE(session->isCapturing());
}

TEST_F(MicCaptureSessionTest, BlocksBecomeWholeFramesAndForeignFormatsAreDropped)
{
    ASSERT_TRUE(startCapture());
    backend.feedBlock(AudioBlock{QByteArray(3, '\0'), 16000, 1, true});
    backend.feedBlock(AudioBlock{QByteArray(4001, '\0'), 16000, 1, true});
    backend.feed(320);
    queues.runAll();
    EXPECT_EQ(received, (std::vector<size_t>{1000, 320}));

    // A restart verifies the format afresh: a wrong one is logged once, and
    // every such block is dropped rather than turned into noise.
    session->stop();
    queues.pump(scheduler);
    received.clear();
    ASSERT_TRUE(startCapture());
    backend.feedBlock(AudioBlock{QByteArray(1280, '\0'), 48000, 2, false});
    backend.feedBlock(AudioBlock{QByteArray(1280, '\0'), 48000, 2, false});
    queues.runAll();
    EXPECT_TRUE(received.empty());
    const QString mismatch = QStringLiteral("[test] capture format mismatch — requested 16000 Hz mono float32, "
                                            "hardware delivered 48000 Hz 2 ch int. Audio will be unusable.");
    EXPECT_EQ(logs.messages(QStringLiteral("audio-device")).count(mismatch), 1);
}

TEST_F(MicCaptureSessionTest, TailDeliversEverythingQueuedBeforeDetaching)
{
    ASSERT_TRUE(startCapture());
    bool stopped = false;
    auto task = [](MicCaptureSession &s, bool &done) -> QCoro::Task<> {
        co_await s.stopAfterTail(150ms);
        done = true;
    }(*session, stopped);
    backend.feed(100); // captured during the tail
    backend.feed(200);
    scheduler.advance(150ms); // the tail ends: the detach job is queued behind both
    backend.feed(300);        // queued after the detach job
    EXPECT_FALSE(stopped);
    queues.runAll();
    EXPECT_FALSE(stopped); // resumes on the main thread, after the queue
    scheduler.runPending();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(received, (std::vector<size_t>{100, 200}));
    EXPECT_FALSE(backend.current->isRunning());
    EXPECT_TRUE(
        logs.hasPrefix(QStringLiteral("audio-device"), QStringLiteral("[test] capture stopped after 150 ms tail")));
}

TEST_F(MicCaptureSessionTest, ARestartDuringTheTailOwnsTheSession)
{
    ASSERT_TRUE(startCapture());
    auto task = session->stopAfterTail(150ms);
    scheduler.advance(50ms);
    std::vector<size_t> second;
    auto restart = session->start([&second](PcmBuffer b) { second.push_back(b.samples.size()); });
    queues.pump(scheduler);
    scheduler.advance(100ms);
    queues.pump(scheduler);
    EXPECT_TRUE(hasLog(logs, QStringLiteral("[test] tail superseded after 150 ms — a stop or restart during it already "
                                            "owns the session")));
    backend.feed(64);
    queues.runAll();
    EXPECT_EQ(second, (std::vector<size_t>{64})); // the new consumer is still attached
    EXPECT_TRUE(backend.current->isRunning());
}

TEST_F(MicCaptureSessionTest, AStreamThatFailedIsLoggedAndReplacedOnTheNextStart)
{
    ASSERT_TRUE(startCapture());
    backend.current->fail(QStringLiteral("Connection terminated"));
    backend.current->fail(QString());
    EXPECT_TRUE(logs.has(QStringLiteral("audio-device"),
                         QStringLiteral("[test] capture runtime error: Connection terminated"), logs::Level::error));
    EXPECT_TRUE(hasLog(logs, QStringLiteral("[test] capture runtime error: unknown")));

    // The sound server restarted: the old stream delivers nothing any more,
    // so the next capture opens a fresh one on the same device.
    session->stop();
    queues.pump(scheduler);
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(backend.openCount, 2);
    backend.feed(64);
    queues.runAll();
    EXPECT_EQ(received, (std::vector<size_t>{64}));
}

TEST_F(MicCaptureSessionTest, StopAfterTailWhenIdleReturnsAtOnce)
{
    bool stopped = false;
    auto task = [](MicCaptureSession &s, bool &done) -> QCoro::Task<> {
        co_await s.stopAfterTail(150ms);
        done = true;
    }(*session, stopped);
    EXPECT_TRUE(stopped);
}

TEST_F(MicCaptureSessionTest, PrewarmConfiguresWithoutRunning)
{
    auto task = session->prewarm();
    queues.pump(scheduler);
    EXPECT_EQ(backend.openCount, 1);
    ASSERT_NE(backend.current, nullptr);
    EXPECT_FALSE(backend.current->isRunning());
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("audio-device"),
                               QStringLiteral("[test] pre-warmed on 'Built-in Microphone' in")));
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(backend.openCount, 1);

    backend.auth = MicAuthorization::denied;
    MicCaptureSession other(QStringLiteral("other"), backend, scheduler, defaults, queues.factory());
    logs.clear();
    auto denied = other.prewarm();
    queues.pump(scheduler);
    EXPECT_EQ(backend.openCount, 1); // never touches a refused microphone
    EXPECT_TRUE(logs.messages(QStringLiteral("audio-device")).isEmpty());
}
