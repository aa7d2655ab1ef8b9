// The live capture on the fake microphone with a scripted live session:
// buffering while the socket connects, the frame queue's bound, and what a
// finished capture hands over for each way a session can end.

#include "audio/LiveDictationCapture.h"
#include "account/TokenSource.h"
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

struct FakeTokens final : TokenSource
{
    std::optional<QString> token = QStringLiteral("tok");
    QCoro::Task<std::optional<QString>> currentAccessToken() override { co_return token; }
};

// How the next session ends, and what the sessions were given.
struct Script
{
    Millis startLatency{0};
    bool refuse = false, failed = false, final = false;
    std::optional<QString> finalText, raw;
};
struct SessionLog
{
    int made = 0;
    LiveSessionOptions options;
    std::vector<QByteArray> frames;
    bool closed = false;
};

struct ScriptedSession final : LiveTranscribing
{
    ScriptedSession(Scheduler &s, Script sc, SessionLog &l) : scheduler(s), script(std::move(sc)), log(l)
    {
        ++log.made;
    }
    QCoro::Task<Expected<void, LiveTranscriptionError>> start(LiveSessionOptions o) override
    {
        log.options = o;
        co_await scheduler.sleep(script.startLatency);
        if (script.refuse)
            co_return Unexpected{
                LiveTranscriptionError{LiveTranscriptionError::Kind::connectFailed, QStringLiteral("refused")}};
        co_return Expected<void, LiveTranscriptionError>{};
    }
    void send(const QByteArray &frame) override { log.frames.push_back(frame); }
    QCoro::Task<std::optional<QString>> finalize(Millis) override { co_return script.finalText; }
    void close() override { log.closed = true; }
    bool hasFailed() const override { return script.failed; }
    bool receivedFinal() const override { return script.final; }
    std::optional<QString> rawText() const override { return script.raw; }
    QString latestPartial() const override { return {}; }
    bool retainRecording() const override { return true; }
    std::optional<QString> recordingUploadUrl() const override { return QStringLiteral("https://up/1"); }
    std::optional<QString> recordingObjectKey() const override { return std::nullopt; }

    Scheduler &scheduler;
    Script script;
    SessionLog &log;
};

class LiveCaptureTest : public ::testing::Test
{
protected:
    LiveCaptureTest()
        : defaults(dir.filePath(QStringLiteral("s.json")))
        , session(QStringLiteral("dictation"), backend, scheduler, defaults, immediateQueues())
        , capture(LiveDictationCapture::Config{QUrl(QStringLiteral("ws://backend/transcribe-stream")), &tokens,
                                               [this](const QUrl &, const QStringList &vocabulary) {
                                                   this->vocabulary = vocabulary;
                                                   return std::make_unique<ScriptedSession>(scheduler, script, seen);
                                               },
                                               [] { return QStringList{QStringLiteral("um")}; }},
                  scheduler, defaults)
    {}

    void begin()
    {
        bool started = false;
        [](LiveDictationCapture &c, MicCaptureSession &s, bool &ok) -> QCoro::Task<> {
            ok = static_cast<bool>(co_await c.start(s, QStringLiteral("org.example.Editor"), std::nullopt, {}));
        }(capture, session, started);
        scheduler.runPending();
        ASSERT_TRUE(started);
    }
    LiveDictationCapture::Result end()
    {
        std::optional<LiveDictationCapture::Result> out;
        [](LiveDictationCapture &c, std::optional<LiveDictationCapture::Result> &o) -> QCoro::Task<> {
            o = co_await c.finish(4500ms);
        }(capture, out);
        scheduler.advance(200ms);
        EXPECT_TRUE(out);
        return out.value_or(LiveDictationCapture::Result{});
    }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeAudioBackend backend;
    FakeTokens tokens;
    MicCaptureSession session;
    Script script;
    SessionLog seen;
    QStringList vocabulary;
    LiveDictationCapture capture;
};

const QString kCapture = QStringLiteral("live-capture");

QByteArray wavOf(const QByteArray &pcm)
{
    return WAVWrapper::wrap(pcm, PcmBuffer::kSampleRate);
}

} // namespace

TEST_F(LiveCaptureTest, FramesCapturedWhileConnectingAreSentInOrderOnceReady)
{
    defaults.set(QStringLiteral("vocabulary.keyterms.active"), QStringList{QStringLiteral("Dravelin")});
    defaults.set(QStringLiteral("cleanup.enabled"), false);
    script = {300ms, false, false, true, QStringLiteral("Hello there."), {}};
    begin();
    QByteArray pcm;
    for (int i = 1; i <= 10; ++i) {
        backend.feed(320, 0.01f * static_cast<float>(i));
        pcm += pcm16(std::vector<float>(320, 0.01f * static_cast<float>(i)).data(), 320);
        scheduler.advance(20ms);
    }
    ASSERT_EQ(seen.made, 1);
    EXPECT_TRUE(seen.frames.empty());
    scheduler.advance(100ms);
    EXPECT_EQ(seen.frames.size(), 10u); // released in one go when the socket was ready at 300 ms
    EXPECT_TRUE(logs.has(kCapture, QStringLiteral("⏱ live socket ready 300 ms after record start — flushing "
                                                  "buffered frames")));
    backend.feed(320, 0.5f);
    pcm += pcm16(std::vector<float>(320, 0.5f).data(), 320);
    const auto result = end();

    EXPECT_EQ(seen.frames.size(), 11u);
    QByteArray sent;
    for (const QByteArray &frame : seen.frames)
        sent += frame;
    EXPECT_EQ(sent, pcm);
    EXPECT_EQ(vocabulary, QStringList{QStringLiteral("Dravelin")});
    EXPECT_EQ(seen.options.token, QStringLiteral("tok"));
    EXPECT_FALSE(seen.options.cleanup);
    EXPECT_EQ(seen.options.fillerWords, QStringList{QStringLiteral("um")});
    EXPECT_EQ(seen.options.appBundleID, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(result.text, QStringLiteral("Hello there."));
    EXPECT_EQ(result.recording, wavOf(pcm));
    EXPECT_FALSE(result.wavFallback);
    EXPECT_TRUE(result.retainRecording);
    EXPECT_TRUE(seen.closed);
}

TEST_F(LiveCaptureTest, AFullQueueKeepsTheNewestFramesAndSendsTheDictationToBatch)
{
    script = {10s, false, false, true, QStringLiteral("Partial words."), {}};
    begin();
    QByteArray pcm;
    for (int i = 0; i < 300; ++i) {
        const float value = static_cast<float>(i) / 1000.0f;
        backend.feed(160, value);
        pcm += pcm16(std::vector<float>(160, value).data(), 160);
    }
    scheduler.advance(10s);
    ASSERT_EQ(seen.made, 1);
    ASSERT_EQ(seen.frames.size(), LiveFrameQueue::kCapacity);
    EXPECT_EQ(seen.frames.front(), pcm.mid(44 * 320, 320)); // the 44 oldest were dropped
    const auto full = logs.messages(kCapture).filter(QStringLiteral("Live frame queue full"));
    EXPECT_EQ(full, QStringList{QStringLiteral(
                        "Live frame queue full at 256 frames — dropping oldest; the socket is not draining")});

    const auto result = end();
    EXPECT_FALSE(result.text); // the live text is discarded
    EXPECT_EQ(result.wavFallback, wavOf(pcm));
    EXPECT_EQ(result.recording, wavOf(pcm));
    EXPECT_FALSE(result.retainRecording);
    EXPECT_TRUE(logs.has(kCapture,
                         QStringLiteral("44 frame(s) never reached the socket — discarding the partial live transcript "
                                        "and using batch STT instead"),
                         logs::Level::error));
}

TEST_F(LiveCaptureTest, FinishResolvesFromWhatTheSessionDelivered)
{
    struct Case
    {
        const char *name;
        bool signedIn;
        Script script;
        std::optional<QString> text;
        bool fallback, rawInHand, recording;
        const char *log;
    };
    const QString none;
    // clang-format off
    const std::vector<Case> cases{
        {"signed out", false, {}, {}, true, false, false, "No access token for live streaming — this capture will use batch STT"},
        {"refused", true, {0ms, true, false, false, {}, {}}, {}, true, false, false, "Live socket failed to connect (connect failed: refused) — this capture will use batch STT"},
        {"raw only", true, {0ms, false, true, false, {}, QStringLiteral("hello")}, {}, false, true, true, "Live final absent but raw already delivered → pipeline will paste raw, no batch"},
        {"nothing", true, {0ms, false, true, false, {}, {}}, {}, true, false, true, "Live produced no raw and no final — batch fallback (3200 PCM bytes)"},
        {"timed out", true, {0ms, false, false, false, {}, QStringLiteral(" ")}, {}, true, false, true, "Live produced no raw and no final — batch fallback (3200 PCM bytes)"},
        {"silence", true, {0ms, false, false, true, none, {}}, none, false, false, false, "Live stream clean but empty — no speech"},
        {"empty final after words", true, {0ms, false, false, true, none, QStringLiteral("uh")}, none, false, false, true, "Live stream clean but empty — no speech"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        seen = {};
        script = c.script;
        tokens.token = c.signedIn ? std::optional(QStringLiteral("tok")) : std::nullopt;
        begin();
        backend.feed(1600);
        scheduler.advance(100ms);
        const auto result = end();
        EXPECT_EQ(result.text, c.text);
        EXPECT_EQ(result.wavFallback.has_value(), c.fallback);
        EXPECT_EQ(result.rawInHand, c.rawInHand);
        EXPECT_EQ(result.recording.has_value(), c.recording);
        // The session's upload grant passes through whenever a session streamed.
        const bool streamed = logs.hasPrefix(kCapture, QStringLiteral("⏱ live socket ready"));
        EXPECT_EQ(result.recordingUploadUrl.has_value(), streamed);
        EXPECT_TRUE(logs.has(kCapture, QString::fromUtf8(c.log))) << qPrintable(logs.messages(kCapture).join(u'\n'));
        EXPECT_FALSE(capture.isRunning());
    }

    // Nothing captured and no socket: no WAV to fall back on either.
    tokens.token.reset();
    begin();
    EXPECT_EQ(end(), LiveDictationCapture::Result{});
    EXPECT_TRUE(logs.has(kCapture, QStringLiteral("Stopped before the live socket was ready — using batch STT for this "
                                                  "capture")));
}

TEST_F(LiveCaptureTest, CancelDuringTheStopTailLeavesNothingToFinalize)
{
    script.finalText = QStringLiteral("never delivered");
    begin();
    backend.feed(1600);
    scheduler.runPending();
    std::optional<LiveDictationCapture::Result> out;
    [](LiveDictationCapture &c, std::optional<LiveDictationCapture::Result> &o) -> QCoro::Task<> {
        o = co_await c.finish(4500ms);
    }(capture, out);
    scheduler.advance(50ms);
    capture.cancel();
    scheduler.advance(200ms);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, LiveDictationCapture::Result{});
    EXPECT_TRUE(
        logs.has(kCapture, QStringLiteral("Live capture cancelled during the stop tail — nothing to finalize")));
    ASSERT_EQ(seen.made, 1);
    EXPECT_TRUE(seen.closed);
    EXPECT_FALSE(session.isCapturing());
}
