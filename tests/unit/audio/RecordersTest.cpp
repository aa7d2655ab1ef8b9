#include "audio/AACFileWriter.h"
#include "audio/AudioRecorder.h"
#include "audio/MicLevelMeter.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/UserDefaults.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

// Recorders on the fake back end; queue jobs run inline, main-thread hops
// run when the virtual clock is pumped.
class RecorderTest : public ::testing::Test
{
protected:
    RecorderTest() : defaults(dir.filePath(QStringLiteral("s.json"))) {}

    template <typename T>
    std::optional<T> run(QCoro::Task<T> task)
    {
        std::optional<T> out;
        auto driver = [](QCoro::Task<T> t, std::optional<T> &o) -> QCoro::Task<> { o = co_await t; }(std::move(task),
                                                                                                     out);
        for (int i = 0; i < 50 && !out; ++i)
            scheduler.advance(10ms);
        return out;
    }
    void run(QCoro::Task<> task)
    {
        bool done = false;
        auto driver = [](QCoro::Task<> t, bool &d) -> QCoro::Task<> {
            co_await t;
            d = true;
        }(std::move(task), done);
        for (int i = 0; i < 50 && !done; ++i)
            scheduler.advance(10ms);
        ASSERT_TRUE(done);
    }

    // Starts a stop of `r` whose result lands in `out` when it ends.
    static QCoro::Task<> stopInto(AudioRecorder &r, std::optional<std::optional<QByteArray>> &out)
    {
        out = co_await r.stop();
    }
    static QCoro::Task<> stopInto(StreamingDictationRecorder &r, std::optional<std::optional<DictationCapture>> &out)
    {
        out = co_await r.stopCapture();
    }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeAudioBackend backend;
};

int m4aFilesInTemp()
{
    return QDir(QDir::tempPath()).entryList({QStringLiteral("dravelin-*.m4a")}).size();
}

} // namespace

TEST_F(RecorderTest, BatchRecordingIsAnAacFileOfTheCapturedLength)
{
    AudioRecorder recorder(backend, scheduler, defaults, immediateQueues());
    const int filesBefore = m4aFilesInTemp();
    const auto started = run(recorder.start());
    ASSERT_TRUE(started && *started);
    EXPECT_EQ(recorder.state(), AudioRecorderState::recording);
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("audio-recorder"), QStringLiteral("Recording started → dravelin-")));

    backend.feedTone(2.0);
    scheduler.runPending();
    EXPECT_GT(recorder.currentLevel(), 0.5f); // a 0.5-amplitude tone is about -9 dBFS
    scheduler.advance(2s);
    const auto audio = run(recorder.stop());
    ASSERT_TRUE(audio && *audio);
    EXPECT_EQ(recorder.state(), AudioRecorderState::idle);
    EXPECT_EQ(recorder.currentLevel(), 0.0f);
    EXPECT_EQ(m4aFilesInTemp(), filesBefore); // the temporary file is gone

    const QByteArray &bytes = **audio;
    EXPECT_EQ(bytes.mid(4, 4), QByteArray("ftyp"));
    const auto decoded = decodeAudio(bytes);
    ASSERT_TRUE(decoded) << qPrintable(decoded.error());
    EXPECT_NEAR(static_cast<double>(decoded->size()) / 16000.0, 2.0, 0.1);
    EXPECT_LT(bytes.size(), 2 * 32000 / 8 + 4000); // about 32 kbit/s

    // A limit stops decoding once passed (uploads: a small file of
    // compressed silence may hold hours).
    AudioFileInfo info;
    const auto capped = decodeAudio(bytes, &info, 16000);
    ASSERT_FALSE(capped);
    EXPECT_TRUE(info.tooLong);
    EXPECT_EQ(capped.error(), QStringLiteral("the audio is longer than 1 s"));
    EXPECT_TRUE(decodeAudio(bytes, nullptr, 3 * 16000));
}

TEST_F(RecorderTest, LengthCapCallsOnAutoStopOnce)
{
    AudioRecorder recorder(backend, scheduler, defaults, immediateQueues());
    int autoStops = 0;
    recorder.onAutoStop = [&] { ++autoStops; };
    ASSERT_TRUE(run(recorder.start()));
    scheduler.advance(179s);
    EXPECT_EQ(autoStops, 0);
    scheduler.advance(2s);
    EXPECT_EQ(autoStops, 1);
    EXPECT_TRUE(logs.has(QStringLiteral("audio-recorder"), QStringLiteral("Auto-stop fired (180s cap)")));
    scheduler.advance(400s);
    EXPECT_EQ(autoStops, 1);
}

TEST_F(RecorderTest, CancelDuringTheStopTailReturnsNothing)
{
    AudioRecorder recorder(backend, scheduler, defaults, immediateQueues());
    ASSERT_TRUE(run(recorder.start()));
    backend.feedTone(0.5);
    std::optional<std::optional<QByteArray>> result;
    auto stopping = stopInto(recorder, result);
    scheduler.advance(50ms);
    auto cancelling = recorder.cancel();
    scheduler.advance(200ms);
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_TRUE(logs.has(QStringLiteral("audio-recorder"),
                         QStringLiteral("Recording ended during the stop tail — no audio to return")));
}

TEST_F(RecorderTest, DeniedMicrophoneAndMissingDeviceFailDifferently)
{
    AudioRecorder recorder(backend, scheduler, defaults, immediateQueues());
    backend.auth = MicAuthorization::denied;
    auto denied = run(recorder.start());
    ASSERT_TRUE(denied);
    ASSERT_FALSE(*denied);
    EXPECT_EQ(denied->error().kind, AudioRecorderError::Kind::permissionDenied);
    EXPECT_EQ(recorder.state(), AudioRecorderState::denied);

    backend.auth = MicAuthorization::authorized;
    backend.defaultID = QStringLiteral("none");
    const int filesBefore = m4aFilesInTemp();
    auto noDevice = run(recorder.start());
    ASSERT_TRUE(noDevice);
    ASSERT_FALSE(*noDevice);
    EXPECT_EQ(noDevice->error().kind, AudioRecorderError::Kind::startFailed);
    EXPECT_EQ(noDevice->error().description(),
              QStringLiteral("Couldn't start the microphone: no microphone available"));
    EXPECT_EQ(m4aFilesInTemp(), filesBefore);
}

TEST_F(RecorderTest, CloudIsPreferredByDefaultEvenWithARecognizer)
{
    FakeSpeechRecognizer speech;
    StreamingDictationRecorder recorder(backend, &speech, scheduler, defaults, immediateQueues());
    ASSERT_TRUE(run(recorder.start(std::nullopt, QUuid::createUuid())));
    EXPECT_EQ(speech.sessions, 0);
    EXPECT_TRUE(logs.has(QStringLiteral("streaming-recorder"),
                         QStringLiteral("Using cloud fallback recorder (Speech unavailable)")));
    auto again = run(recorder.start(std::nullopt, QUuid::createUuid())); // a double press does nothing
    EXPECT_EQ(backend.openCount, 1);
    backend.feedTone(1.0);
    scheduler.advance(1s);
    const auto capture = run(recorder.stopCapture());
    ASSERT_TRUE(capture && *capture);
    EXPECT_EQ((*capture)->engine, QStringLiteral("cloud"));
    EXPECT_TRUE((*capture)->audio);
    EXPECT_FALSE((*capture)->onDeviceText);
    ASSERT_TRUE((*capture)->durationMs);
    EXPECT_GE(*(*capture)->durationMs, 1150); // 1 s plus the 150 ms tail, give or take a pump step
    EXPECT_LE(*(*capture)->durationMs, 1170);
}

TEST_F(RecorderTest, OnDeviceUsesTheLastPartialWhenNoFinalComes)
{
    defaults.set(QStringLiteral("stt.preferCloud"), false);
    FakeSpeechRecognizer speech;
    StreamingDictationRecorder recorder(backend, &speech, scheduler, defaults, immediateQueues());
    ASSERT_TRUE(run(recorder.start(std::nullopt, QUuid::createUuid())));
    ASSERT_TRUE(recorder.usingOnDevice());
    backend.feedTone(1.0);
    scheduler.runPending();
    EXPECT_EQ(speech.samplesReceived, 16000u);
    EXPECT_GT(recorder.currentLevel(), 0.9f); // linear scale: RMS 0.35 × 12, clamped
    EXPECT_FALSE(recorder.heardSpeech());
    speech.send(QStringLiteral("hello"));
    scheduler.runPending();
    EXPECT_TRUE(recorder.heardSpeech());
    speech.send(QStringLiteral("hello world"));

    std::optional<std::optional<DictationCapture>> result;
    auto stopping = stopInto(recorder, result);
    scheduler.advance(150ms + 799ms);
    EXPECT_FALSE(result); // still waiting for a final result
    scheduler.advance(1ms);
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->onDeviceText, QStringLiteral("hello world"));
    EXPECT_EQ((*result)->engine, QStringLiteral("fake-speech"));
    ASSERT_TRUE((*result)->audio);
    EXPECT_EQ((*result)->audio->size(), 44 + 16000 * 2); // WAV of what was captured

    // A recogniser that promises its final result is waited for past 800 ms
    // (a busy machine), up to its limit.
    speech.finalLimit = 5s;
    ASSERT_TRUE(run(recorder.start(std::nullopt, QUuid::createUuid())));
    speech.send(QStringLiteral("The low world."));
    result.reset();
    auto stoppingAgain = stopInto(recorder, result);
    scheduler.advance(150ms + 2500ms);
    EXPECT_FALSE(result);
    speech.send(QStringLiteral("Hello world. This is a test."), true);
    scheduler.runPending();
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->onDeviceText, QStringLiteral("Hello world. This is a test."));
}

TEST_F(RecorderTest, OnDeviceFinalResultEndsTheWaitAtOnce)
{
    defaults.set(QStringLiteral("stt.preferCloud"), false);
    FakeSpeechRecognizer speech;
    speech.finalOnEndAudio = true;
    speech.finalText = QStringLiteral("final words");
    StreamingDictationRecorder recorder(backend, &speech, scheduler, defaults, immediateQueues());
    ASSERT_TRUE(run(recorder.start(std::nullopt, QUuid::createUuid())));
    std::optional<std::optional<DictationCapture>> result;
    auto stopping = stopInto(recorder, result);
    scheduler.advance(150ms);
    scheduler.runPending();
    scheduler.runPending();
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->onDeviceText, QStringLiteral("final words"));
}

TEST_F(RecorderTest, OnDeviceCancelDuringTheTailReturnsNothing)
{
    defaults.set(QStringLiteral("stt.preferCloud"), false);
    FakeSpeechRecognizer speech;
    StreamingDictationRecorder recorder(backend, &speech, scheduler, defaults, immediateQueues());
    ASSERT_TRUE(run(recorder.start(std::nullopt, QUuid::createUuid())));
    std::optional<std::optional<DictationCapture>> result;
    auto stopping = stopInto(recorder, result);
    scheduler.advance(50ms);
    run(recorder.cancel());
    scheduler.advance(200ms);
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_TRUE(speech.cancelled);
}

TEST_F(RecorderTest, MeterOpensTheMicrophoneOnceAndMonitorThrottles)
{
    MicLevelMeter meter(backend, scheduler, defaults, immediateQueues());
    run(meter.start());
    EXPECT_EQ(meter.state(), MicLevelMeter::State::metering);
    meter.stop();
    run(meter.start());
    EXPECT_EQ(backend.openCount, 1);
    EXPECT_TRUE(logs.has(QStringLiteral("mic-meter"),
                         QStringLiteral("Metering already started once this launch; not touching hardware again")));

    MicLevelMonitor monitor(backend, scheduler, defaults, immediateQueues());
    int published = 0;
    QObject::connect(&monitor, &MicLevelMonitor::levelChanged, [&](float) { ++published; });
    run(monitor.start());
    ASSERT_EQ(monitor.state(), MicLevelMonitor::State::running);
    for (int i = 0; i < 100; ++i) { // 1 s of 10 ms blocks
        backend.feed(160, 0.1f);
        scheduler.advance(10ms);
    }
    EXPECT_GE(published, 19);
    EXPECT_LE(published, 21);
    EXPECT_NEAR(monitor.level(), (20 * std::log10(0.1) + 60) / 60, 1e-4);
}
