// Real audio end to end: a private PulseAudio daemon (started by
// with-pulseaudio.sh) whose default source is a pipe that this test feeds at
// the pace of real time, like a microphone: silence, and speech synthesised by
// espeak-ng when a test speaks.

#include "audio/AACFileWriter.h"
#include "audio/AudioRecorder.h"
#include "audio/BluetoothMicrophoneMonitor.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "output/AudioPlaybackController.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/PulseAudioOutput.h"
#include "support/MicFeeder.h"
#include "support/Speech.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <QTemporaryDir>
#include <QTest>
#include <cmath>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

const QString kSentence = QStringLiteral("Hello world. This is a test of the dictation recorder.");

class RealAudioTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_speech = s_dir->filePath(QStringLiteral("speech.wav"));
        const QByteArray wav = test::synthesizeSpeech(s_speech, kSentence);
        ASSERT_FALSE(wav.isEmpty());
        auto decoded = decodeAudio(wav);
        ASSERT_TRUE(decoded) << qPrintable(decoded.error());
        s_samples = new std::vector<float>(std::move(decoded.value()));
    }
    static void TearDownTestSuite()
    {
        delete s_samples;
        delete s_dir;
    }

    RealAudioTest() : defaults(dir.filePath(QStringLiteral("s.json"))), feeder(qgetenv("DRAVELIN_TEST_MIC_FIFO")) {}

    void SetUp() override { ASSERT_TRUE(feeder.isOpen()) << "run under with-pulseaudio.sh"; }

    // Speaks the sentence into the microphone; the event loop keeps running.
    void speak()
    {
        feeder.speak(*s_samples);
        QElapsedTimer clock;
        clock.start();
        while (feeder.speaking() && clock.elapsed() < 30000)
            QTest::qWait(20);
    }

    static QTemporaryDir *s_dir;
    static QString s_speech;
    static std::vector<float> *s_samples;
    QTemporaryDir dir;
    QtScheduler scheduler;
    UserDefaults defaults;
    nix::PulseAudioBackend backend;
    test::MicFeeder feeder;
};

QTemporaryDir *RealAudioTest::s_dir = nullptr;
QString RealAudioTest::s_speech;
std::vector<float> *RealAudioTest::s_samples = nullptr;

} // namespace

TEST_F(RealAudioTest, BatchRecordingOfSpeechDecodesToItsDurationAndLevelsFollowTheVoice)
{
    ASSERT_EQ(backend.authorization(), MicAuthorization::authorized);
    AudioRecorder recorder(backend, scheduler, defaults);
    std::vector<std::pair<qint64, float>> levels;
    QElapsedTimer clock;
    QObject::connect(&recorder, &AudioRecorder::levelChanged,
                     [&](float level) { levels.emplace_back(clock.elapsed(), level); });

    const auto started = QCoro::waitFor(recorder.start());
    ASSERT_TRUE(started) << qPrintable(started.error().description());
    clock.start();
    QTest::qWait(300);
    const qint64 speechStart = clock.elapsed();
    speak();
    const qint64 speechEnd = clock.elapsed();
    QTest::qWait(1200);
    const qint64 silenceEnd = clock.elapsed();
    const auto audio = QCoro::waitFor(recorder.stop());
    ASSERT_TRUE(audio);
    ASSERT_TRUE(recorder.lastDurationMs());

    AudioFileInfo info;
    const auto decoded = decodeAudio(*audio, &info);
    ASSERT_TRUE(decoded) << qPrintable(decoded.error());
    EXPECT_EQ(info.codec, QStringLiteral("aac"));
    EXPECT_EQ(info.sampleRate, 16000);
    EXPECT_EQ(info.channels, 1);
    const double decodedMs = static_cast<double>(decoded->size()) * 1000.0 / 16000.0;
    EXPECT_NEAR(decodedMs, static_cast<double>(*recorder.lastDurationMs()), 0.05 * *recorder.lastDurationMs());

    float speechPeak = 0;
    float silencePeak = 0;
    int silenceSamples = 0;
    for (const auto &[t, level] : levels) {
        if (t > speechStart + 300 && t < speechEnd)
            speechPeak = std::max(speechPeak, level);
        if (t > speechEnd + 500 && t < silenceEnd) {
            silencePeak = std::max(silencePeak, level);
            ++silenceSamples;
        }
    }
    EXPECT_GT(speechPeak, 0.4f);
    EXPECT_GT(silenceSamples, 5);
    EXPECT_LT(silencePeak, 0.1f);
}

TEST_F(RealAudioTest, OnDeviceRecognitionHearsTheSpeech)
{
    nix::PocketSphinxRecognizer recognizer;
    ASSERT_TRUE(recognizer.isAvailable());
    defaults.set(QStringLiteral("stt.preferCloud"), false);
    StreamingDictationRecorder recorder(backend, &recognizer, scheduler, defaults);
    const auto started = QCoro::waitFor(recorder.start(std::nullopt, QUuid::createUuid()));
    ASSERT_TRUE(started) << qPrintable(started.error().description());
    ASSERT_TRUE(recorder.usingOnDevice());
    QTest::qWait(200);
    speak();
    QTest::qWait(400);
    EXPECT_TRUE(recorder.heardSpeech());
    const auto capture = QCoro::waitFor(recorder.stopCapture());
    ASSERT_TRUE(capture);
    ASSERT_TRUE(capture->onDeviceText);
    std::printf("on-device text: %s\n", qPrintable(*capture->onDeviceText));
    EXPECT_TRUE(capture->onDeviceText->contains(QStringLiteral("hello"))); // the engine reliably gets this word
    EXPECT_EQ(capture->engine, QStringLiteral("pocketsphinx"));
    ASSERT_TRUE(capture->audio);
    EXPECT_GT(capture->audio->size(), 44 + 16000 * 2 * 2); // more than two seconds of WAV
}

// Playback needs no microphone, so it stays out of the fixture that feeds one
// (the feeder blocks when nothing records).
TEST(RealPlaybackTest, ASavedRecordingPlaysToItsEndThroughTheSoundServer)
{
    // 600 ms of a tone, as a saved recording.
    QTemporaryDir dir;
    QtScheduler scheduler;
    const QString path = dir.filePath(QStringLiteral("entry.wav"));
    std::vector<float> clip(9600);
    for (size_t i = 0; i < clip.size(); ++i)
        clip[i] = 0.2f * static_cast<float>(std::sin(static_cast<double>(i) * 0.17));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(WAVWrapper::wrap(pcm16(clip.data(), clip.size()), 16000));
    file.close();

    nix::PulseAudioOutput output;
    AudioPlaybackController playback(output, scheduler);
    const QUuid id = QUuid::createUuid();
    QElapsedTimer clock;
    clock.start();
    playback.toggle(id, path);
    ASSERT_EQ(playback.activeID(), id);
    // The speakers open off the main thread; then it plays.
    EXPECT_TRUE(QTest::qWaitFor([&] { return playback.isPlaying(); }, 5000));
    while (playback.activeID() && clock.elapsed() < 10000)
        QTest::qWait(10);
    EXPECT_FALSE(playback.activeID()) << "playback never reported its end";
    EXPECT_GE(clock.elapsed(), 550);
    EXPECT_LT(clock.elapsed(), 10000);

    // Paused half-way, it stays put; stopped, it unloads.
    playback.toggle(id, path);
    QTest::qWait(200);
    playback.toggle(id, path);
    EXPECT_FALSE(playback.isPlaying());
    QTest::qWait(800);
    EXPECT_EQ(playback.activeID(), id);
    playback.stop();
    EXPECT_FALSE(playback.activeID());
}

namespace {

// Runs pactl against the private daemon; its standard output, trimmed.
QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    EXPECT_EQ(process.exitCode(), 0) << qPrintable(arguments.join(u' ')) << ": "
                                     << process.readAllStandardError().constData();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A headset's microphone, as the sound server shows one (a pipe no one writes).
QString connectHeadset(const QTemporaryDir &dir, const QString &name)
{
    return pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                  QStringLiteral("source_name=%1").arg(name),
                  QStringLiteral("file=%1").arg(dir.filePath(name + QStringLiteral(".fifo"))),
                  QStringLiteral("source_properties='device.bus=bluetooth device.description=%1'").arg(name)});
}

bool waitUntil(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000)
        QTest::qWait(10);
    return done();
}

} // namespace

// Device events come from the sound server: no polling.
TEST(RealBluetoothMicrophoneTest, AHeadsetConnectingIsPromptedOnceAndTheSystemChoiceSelectsTheBuiltInInput)
{
    QTemporaryDir dir;
    QtScheduler scheduler;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    nix::PulseAudioBackend backend;
    BluetoothMicrophoneMonitor monitor(defaults, scheduler, backend);
    monitor.start();
    QTest::qWait(200);
    ASSERT_FALSE(monitor.prompt());

    const QString module = connectHeadset(dir, QStringLiteral("headset-one"));
    ASSERT_TRUE(waitUntil([&] { return monitor.prompt().has_value(); }));
    EXPECT_EQ(monitor.prompt()->bluetoothUniqueID, QStringLiteral("headset-one"));
    EXPECT_EQ(monitor.prompt()->systemUniqueID, QStringLiteral("testmic"));

    // Gone while shown: the prompt closes; back again: no second prompt.
    pactl({QStringLiteral("unload-module"), module});
    ASSERT_TRUE(waitUntil([&] { return !monitor.prompt().has_value(); }));
    connectHeadset(dir, QStringLiteral("headset-one"));
    QTest::qWait(300);
    EXPECT_FALSE(monitor.prompt());

    connectHeadset(dir, QStringLiteral("headset-two"));
    ASSERT_TRUE(waitUntil([&] { return monitor.prompt().has_value(); }));
    EXPECT_EQ(monitor.prompt()->bluetoothUniqueID, QStringLiteral("headset-two"));
    monitor.choose(BluetoothMicrophoneChoice::systemMicrophone);
    EXPECT_EQ(defaults.string(QStringLiteral("mic.deviceID")), QStringLiteral("testmic"));
    EXPECT_EQ(defaults.stringArray(QStringLiteral("bluetoothMicrophone.promptedDeviceIDs")),
              (QStringList{QStringLiteral("headset-one"), QStringLiteral("headset-two")}));
}
