#include "pipeline/RecordingPipeline.h"
#include "pipeline/PendingTranscriptions.h"
#include "pipeline/SelectionRewriteFlow.h"
#include "support/PipelineRig.h"
#include "text/AssistantActions.h"
#include "text/AssistantService.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

// A rewrite client answering from a script.
class ScriptedRewriter final : public Rewriting
{
public:
    QCoro::Task<Expected<QString, RewriteError>> sendRewrite(QString text, RewriteStyle style,
                                                             std::optional<QString> prompt) override
    {
        asked.push_back({text, style, prompt});
        co_return reply;
    }
    struct Call
    {
        QString text;
        RewriteStyle style;
        std::optional<QString> prompt;
    };
    std::vector<Call> asked;
    Expected<QString, RewriteError> reply = QStringLiteral("Rewritten.");
};

class ScriptedAssistant final : public AssistantAnswering
{
public:
    QCoro::Task<Expected<AssistantResult, AssistantError>> ask(QString question) override
    {
        questions << question;
        co_return reply;
    }
    QStringList questions;
    Expected<AssistantResult, AssistantError> reply = AssistantResult{AssistantAnswer{QStringLiteral("42."), {}}};
};

// The pipeline on the shared rig, with the rewrite, ask and typing
// collaborators too.
class PipelineTest : public ::testing::Test, protected PipelineRig
{
protected:
    PipelineTest() { wire(); }

    void wire()
    {
        build([this](RecordingPipeline::Collaborators &c) {
            c.rewrite = &rewriter;
            c.assistant = &assistant;
            c.actions = &actions;
            c.pasteboard = &board;
            c.keys = &keys;
        });
    }

    ~PipelineTest() override
    {
        shutDown();
        EXPECT_EQ(scheduler.pendingWakes(), 0u);
    }

    // Runs what is due now (the fakes answer at once).
    void finish() { scheduler.runPending(); }
    void useHoldMode() { defaults.set(QStringLiteral("recording.mode"), QStringLiteral("holdOrDoubleTap")); }
    void press() { hotkeys.callbacks().onToggleRecord(); }
    void release() { hotkeys.callbacks().onToggleRecordReleased(); }
    void cancel() { hotkeys.callbacks().onCancelRecord(); }
    // A whole toggle dictation: start, wait until the mic is live, stop, deliver.
    void startLive()
    {
        press();
        advance(100ms);
    }
    void dictate()
    {
        startLive();
        press();
        finish();
    }
    void advance(Millis ms) { scheduler.advance(ms); }
    PipelineState state() const { return pipeline->state(); }
    bool logged(const QString &message) const { return logs.has(QStringLiteral("pipeline"), message); }

    FakePasteboard board;
    FakeKeys keys{board, scheduler};
    ScriptedRewriter rewriter;
    ScriptedAssistant assistant;
    AssistantActionExecutor actions{workspace};
};

const QString kStart = SoundFeedback::soundName(SoundFeedback::Cue::start);
const QString kStop = SoundFeedback::soundName(SoundFeedback::Cue::stop);
const QString kDiscard = SoundFeedback::soundName(SoundFeedback::Cue::discard);
const QString kError = SoundFeedback::soundName(SoundFeedback::Cue::error);

} // namespace

TEST_F(PipelineTest, ToggleStartsBeforeTheMicIsLiveStopsAndGivesEachCaptureItsOwnId)
{
    EXPECT_EQ(hotkeys.events, QStringList{QStringLiteral("register")}); // wireUp grabs the hotkeys
    EXPECT_EQ(recorder.prewarmCalls, 0);                                // only the streaming recorder is prewarmed
    press();
    // Before the recorder is live: indicator and start cue already out, still idle.
    EXPECT_EQ(indicator.current(), QStringLiteral("recording"));
    EXPECT_EQ(player.played, QStringList{kStart});
    EXPECT_TRUE(pipeline->isStarting());
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(recorder.lastAppBundleID, QStringLiteral("org.example.Editor"));
    ASSERT_TRUE(recorder.lastRecordingID);
    EXPECT_FALSE(recorder.lastRecordingID->isNull());

    advance(100ms);
    EXPECT_FALSE(pipeline->isStarting());
    EXPECT_EQ(state(), PipelineState::recording);
    EXPECT_TRUE(hotkeys.cancelRegistered);
    EXPECT_EQ(warmUps.count, 2); // transcription and cleanup
    EXPECT_TRUE(logged(QStringLiteral("⏱ mic live 100 ms after hotkey")));
    EXPECT_TRUE(logged(QStringLiteral("Recording started in org.example.Editor")));
    EXPECT_EQ(pipeline->captureRecordingID(), recorder.lastRecordingID);

    press();
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    // The fake recorder returned an empty capture: nothing to deliver.
    EXPECT_EQ(player.played, (QStringList{kStart, kStop, kDiscard}));
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(No speech detected)"));
    EXPECT_FALSE(hotkeys.cancelRegistered);
    EXPECT_FALSE(pipeline->captureRecordingID());
    EXPECT_TRUE(paste.pasted.isEmpty());

    // The next capture is a recording of its own, even with no application in front.
    const auto first = recorder.lastRecordingID;
    workspace.frontmost.reset();
    startLive();
    EXPECT_NE(recorder.lastRecordingID, first);
    EXPECT_TRUE(logged(QStringLiteral("Recording started in unknown")));
}

TEST_F(PipelineTest, SignedOutToggleOnlyAsksForSignIn)
{
    auth.signedIn = false;
    press();
    advance(1s);
    EXPECT_EQ(recorder.startCalls, 0);
    EXPECT_EQ(indicator.current(), QStringLiteral("signInRequired"));
    ASSERT_FALSE(indicator.shown.empty());
    EXPECT_FALSE(indicator.shown.back().fadeAfter);
    EXPECT_TRUE(logged(QStringLiteral("Toggle ignored — not signed in")));
    EXPECT_TRUE(player.played.isEmpty());
}

TEST_F(PipelineTest, TogglesDuringStartAndProcessingAreDroppedNotQueued)
{
    recorder.stopLatency = 500ms;
    press();
    press(); // still starting
    EXPECT_TRUE(logged(QStringLiteral("Toggle ignored — recording is still starting")));
    advance(100ms);
    EXPECT_EQ(state(), PipelineState::recording);

    press(); // stop: processing for 500 ms
    EXPECT_EQ(state(), PipelineState::processing);
    EXPECT_EQ(indicator.current(), QStringLiteral("processing"));
    press();
    cancel(); // a cancel does not abort processing either
    EXPECT_TRUE(logged(QStringLiteral("Toggle ignored — currently transcribing")));
    advance(500ms);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(recorder.startCalls, 1);
    EXPECT_EQ(recorder.cancelCalls, 0);
    advance(1s);
    EXPECT_EQ(recorder.startCalls, 1);
}

TEST_F(PipelineTest, RecorderWithoutCaptureShowsNoSpeechNotice)
{
    recorder.captureToReturn.reset();
    startLive();
    press();
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(No speech detected)"));
    EXPECT_EQ(player.played.last(), kDiscard);
    EXPECT_TRUE(
        logs.has(QStringLiteral("pipeline"), QStringLiteral("Recorder returned no capture"), logs::Level::error));
}

// Hold or double-tap ---------------------------------------------------------

TEST_F(PipelineTest, HoldOfExactlyThresholdStopsOnRelease)
{
    useHoldMode();
    press();
    EXPECT_EQ(pipeline->holdSubState(), HoldSubState::armed);
    advance(200ms);
    release();
    EXPECT_TRUE(logged(QStringLiteral("HoldOrDoubleTap: hold released after 200 ms → stop")));
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(pipeline->holdSubState(), HoldSubState::idle);
}

TEST_F(PipelineTest, QuickTapRecordsForTheDoubleTapWindowThenDiscardsSilently)
{
    useHoldMode();
    press();
    advance(190ms);
    release();
    EXPECT_EQ(pipeline->holdSubState(), HoldSubState::awaitingSecondTap);
    EXPECT_TRUE(
        logged(QStringLiteral("HoldOrDoubleTap: quick tap — holding capture for 0.400000s awaiting second tap")));

    advance(399ms);
    EXPECT_EQ(state(), PipelineState::recording);
    advance(1ms);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(recorder.stopCalls, 0);
    EXPECT_EQ(indicator.current(), QStringLiteral("hidden"));
    EXPECT_EQ(player.played, QStringList{kStart}); // no sound for a discard
    EXPECT_FALSE(hotkeys.cancelRegistered);
    EXPECT_TRUE(logged(QStringLiteral("HoldOrDoubleTap: no second tap → capture discarded")));
}

TEST_F(PipelineTest, DoubleTapGoesHandsFreeUntilTheNextTap)
{
    useHoldMode();
    press();
    advance(150ms);
    release();
    advance(300ms);
    press(); // second tap within 0.4 s
    EXPECT_EQ(pipeline->holdSubState(), HoldSubState::continuousRecording);
    EXPECT_TRUE(logged(QStringLiteral("HoldOrDoubleTap: double-tap → hands-free (capture already live)")));
    advance(100ms);
    release(); // quick release of the promoting press: keep going
    advance(5s);
    EXPECT_EQ(state(), PipelineState::recording);
    EXPECT_EQ(recorder.startCalls, 1);

    recorder.heard = true; // keep the watchdog out of this test
    press();
    advance(50ms);
    release();
    EXPECT_TRUE(logged(QStringLiteral("HoldOrDoubleTap: tap while hands-free → stop")));
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
}

TEST_F(PipelineTest, HeldSecondTapStopsOnItsRelease)
{
    useHoldMode();
    press();
    advance(150ms);
    release();
    advance(100ms);
    press();
    advance(250ms);
    release();
    EXPECT_TRUE(logged(QStringLiteral("HoldOrDoubleTap: second tap was held → stop on release")));
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
}

TEST_F(PipelineTest, ModeIsReadAtEveryKeyEventIncludingLegacyValues)
{
    defaults.set(QStringLiteral("recording.mode"), QStringLiteral("holdToTalk"));
    press();
    EXPECT_TRUE(logged(QStringLiteral("Toggle press (mode=holdOrDoubleTap)")));
    advance(300ms);
    defaults.set(QStringLiteral("recording.mode"), QStringLiteral("push")); // unknown: toggle
    release();                                                              // toggle ignores releases
    EXPECT_EQ(state(), PipelineState::recording);
    press();
    EXPECT_TRUE(logged(QStringLiteral("Toggle press (mode=toggle)")));
    EXPECT_EQ(state(), PipelineState::idle);
}

// Requests while the recorder starts ----------------------------------------

TEST_F(PipelineTest, HoldReleasedDuringStartStopsOnceTheMicIsLive)
{
    useHoldMode();
    recorder.startLatency = 500ms;
    press();
    advance(250ms);
    release();
    EXPECT_EQ(pipeline->pendingStartAction(), PendingStartAction::stop);
    EXPECT_TRUE(logged(QStringLiteral("Stop requested mid-start — deferred until the recorder is live")));
    EXPECT_EQ(recorder.stopCalls, 0);

    advance(250ms);
    EXPECT_TRUE(logged(QStringLiteral("Applying deferred stop requested during start")));
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_FALSE(pipeline->isStarting());
    EXPECT_FALSE(pipeline->pendingStartAction());
}

TEST_F(PipelineTest, TapDecisionExpiringDuringStartDefersTheDiscard)
{
    useHoldMode();
    recorder.startLatency = 1000ms;
    startLive();
    release();
    advance(400ms); // tap window over while still starting
    EXPECT_EQ(pipeline->pendingStartAction(), PendingStartAction::discard);
    EXPECT_TRUE(logged(QStringLiteral("Discard requested mid-start — deferred until the recorder is live")));

    advance(500ms);
    EXPECT_TRUE(logged(QStringLiteral("Applying deferred discard requested during start")));
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(indicator.current(), QStringLiteral("hidden"));
    EXPECT_EQ(player.played, QStringList{kStart});
}

TEST_F(PipelineTest, CancelDuringStartDiscardsSilentlyOnceLive)
{
    recorder.startLatency = 300ms;
    press();
    cancel();
    EXPECT_TRUE(logged(QStringLiteral("Cancel requested while recorder is starting — deferred")));
    EXPECT_EQ(hotkeys.askResets, 1);
    advance(300ms);
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(player.played, QStringList{kStart});
    EXPECT_FALSE(hotkeys.cancelRegistered);
}

TEST_F(PipelineTest, LastDeferredRequestWins)
{
    useHoldMode();
    recorder.startLatency = 1000ms;
    press();
    advance(300ms);
    release(); // hold: deferred stop
    cancel();  // then cancel: deferred discard
    advance(700ms);
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(recorder.stopCalls, 0);
}

// Cancel -----------------------------------------------------------------------

TEST_F(PipelineTest, CancelWhileRecordingShowsNoticeAndPlaysDiscard)
{
    cancel(); // idle: nothing to cancel, nothing shown
    EXPECT_TRUE(indicator.shown.empty());
    startLive();
    cancel();
    EXPECT_TRUE(logged(QStringLiteral("User cancelled recording")));
    EXPECT_EQ(recorder.cancelCalls, 1);
    ASSERT_FALSE(indicator.shown.empty());
    EXPECT_EQ(indicator.shown.back().state, IndicatorState::notice(QStringLiteral("Cancelled")));
    EXPECT_EQ(indicator.shown.back().fadeAfter, Millis(1200));
    EXPECT_EQ(player.played.last(), kDiscard);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_FALSE(hotkeys.cancelRegistered);
    EXPECT_FALSE(pipeline->captureRecordingID());
}

// No-speech watchdog -----------------------------------------------------------

TEST_F(PipelineTest, TenSecondsOfSilenceStopWithoutTranscribing)
{
    recorder.level = 0.1f;
    startLive();
    advance(9900ms);
    EXPECT_EQ(state(), PipelineState::recording);
    advance(200ms);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_TRUE(logged(QStringLiteral("No speech in 10.000000s (peak level 0.100000) — stopping")));
    EXPECT_EQ(recorder.cancelCalls, 1);
    EXPECT_EQ(recorder.stopCalls, 0);
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(Didn't hear anything — recording stopped)"));
    EXPECT_EQ(player.played.last(), kDiscard);
    EXPECT_FALSE(hotkeys.cancelRegistered);
}

TEST_F(PipelineTest, FourLoudSamplesVetoTheWatchdogButThreeDoNot)
{
    // Four polls (0, 150, 300, 450 ms) at or above 0.35, then quiet.
    recorder.level = 0.35f;
    startLive();
    advance(500ms);
    recorder.level = 0;
    advance(10s);
    EXPECT_EQ(state(), PipelineState::recording);
    EXPECT_TRUE(logged(
        QStringLiteral("No transcript yet but 4 loud samples (peak 0.350000) — watchdog deferring to the 180s cap")));
    press();

    logs.clear();
    recorder.level = 0.9f; // three polls: 0, 150, 300 ms
    startLive();
    advance(400ms);
    recorder.level = 0;
    advance(10s);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_TRUE(logged(QStringLiteral("No speech in 10.000000s (peak level 0.900000) — stopping")));
}

TEST_F(PipelineTest, RecognisedSpeechStandsTheWatchdogDown)
{
    startLive();
    advance(3s);
    recorder.heard = true;
    advance(200ms);
    EXPECT_TRUE(logged(QStringLiteral("Speech confirmed — no-speech watchdog stood down")));
    recorder.heard = false; // stays down for the rest of the session
    advance(30s);
    EXPECT_EQ(state(), PipelineState::recording);
}

TEST_F(PipelineTest, WatchdogOfAnEndedCaptureNeverFiresIntoTheNextOne)
{
    startLive();
    advance(8s);
    press(); // stop after 8 s
    press(); // new capture
    advance(100ms);
    advance(3s); // 11 s after the first capture began, 3 s into this one
    EXPECT_EQ(state(), PipelineState::recording);
    EXPECT_FALSE(logs.hasPrefix(QStringLiteral("pipeline"), QStringLiteral("No speech in")));
}

// Start failures -----------------------------------------------------------------

TEST_F(PipelineTest, DeniedMicrophoneExplainsAndResetsTheGesture)
{
    useHoldMode();
    recorder.startError = AudioRecorderError{AudioRecorderError::Kind::permissionDenied, {}};
    startLive();
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(pipeline->holdSubState(), HoldSubState::idle);
    EXPECT_EQ(indicator.current(), QStringLiteral("error(Enable mic in System Settings, then retry)"));
    EXPECT_EQ(player.played.last(), kError);
    EXPECT_TRUE(logs.has(QStringLiteral("pipeline"), QStringLiteral("Mic permission denied — opened System Settings"),
                         logs::Level::error));
    EXPECT_FALSE(hotkeys.cancelRegistered);

    release(); // a release after the failed start changes nothing
    recorder.startError.reset();
    press(); // the next press starts afresh
    advance(100ms);
    EXPECT_EQ(state(), PipelineState::recording);
}

TEST_F(PipelineTest, OtherStartFailureSaysItCouldNotStart)
{
    recorder.startError = AudioRecorderError{AudioRecorderError::Kind::startFailed, QStringLiteral("device busy")};
    press();
    recorder.startLatency = 0ms;
    cancel(); // deferred, then dropped with the failed start
    advance(100ms);
    EXPECT_EQ(indicator.current(), QStringLiteral("error(Couldn't start recording)"));
    EXPECT_TRUE(logged(QStringLiteral("Start failed: Couldn't start the microphone: device busy")));
    EXPECT_FALSE(pipeline->pendingStartAction());
    EXPECT_FALSE(pipeline->captureRecordingID());
    EXPECT_EQ(recorder.cancelCalls, 0);
}

// Private paste -----------------------------------------------------------------

TEST_F(PipelineTest, PrivatePastePastesTheNewestEntryInAnyState)
{
    hotkeys.callbacks().onPrivatePaste();
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(No transcription yet)"));
    EXPECT_TRUE(logs.has(QStringLiteral("pipeline"),
                         QStringLiteral("Private paste: history is empty (no prior dictations to paste)"),
                         logs::Level::error));
    EXPECT_TRUE(paste.pasted.isEmpty());

    history.entries.push_back(ClipboardEntry{QUuid::createUuid(), QStringLiteral("newest"), {}, {}, {}, false});
    history.entries.push_back(ClipboardEntry{QUuid::createUuid(), QStringLiteral("older"), {}, {}, {}, false});
    startLive();
    hotkeys.callbacks().onPrivatePaste();
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("newest")});
    EXPECT_TRUE(logged(QStringLiteral("⌘⌃V pressed — entries in history: 2")));
    EXPECT_TRUE(logged(QStringLiteral("Private paste: pasting 6 chars")));
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));
    EXPECT_EQ(state(), PipelineState::recording);
}

// Lifetimes and the streaming recorder ---------------------------------------------

TEST_F(PipelineTest, CallbacksAndTimersFindADestroyedPipelineGone)
{
    useHoldMode();
    startLive();
    release(); // tap decision armed, watchdog running
    auto toggle = hotkeys.callbacks().onToggleRecord;
    pipeline.reset();
    toggle();     // does nothing
    advance(20s); // timers wake, find no pipeline, and end
    EXPECT_EQ(recorder.startCalls, 1);
    EXPECT_EQ(recorder.cancelCalls, 0);
}

TEST_F(PipelineTest, StreamingRecorderIsPrewarmedAndItsLengthCapStops)
{
    recorder.streaming = true;
    wire();
    EXPECT_EQ(recorder.prewarmCalls, 1);
    startLive();
    ASSERT_TRUE(recorder.onAutoStop);
    ASSERT_TRUE(recorder.onLiveRaw);
    recorder.onLiveRaw(QStringLiteral("raw words"));
    EXPECT_EQ(pipeline->liveRawText(), QStringLiteral("raw words"));
    recorder.heard = true;
    recorder.onAutoStop();
    advance(1s);
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    // The user is told why it stopped; the next recording starts afresh.
    EXPECT_TRUE(pipeline->stoppedAtLengthCap());
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(Stopped at the 3-minute limit)"));
    startLive();
    EXPECT_FALSE(pipeline->stoppedAtLengthCap());
}

// Ask --------------------------------------------------------------------------------

TEST_F(PipelineTest, AskConfirmDuringStartIsAppliedWhenLive)
{
    hotkeys.callbacks().onBeginAsk();
    EXPECT_EQ(pipeline->capturePurpose(), CapturePurpose::ask);
    EXPECT_EQ(indicator.current(), QStringLiteral("askRecording"));
    press(); // the toggle confirms an Ask that is still starting
    EXPECT_EQ(pipeline->pendingStartAction(), PendingStartAction::submitAsk);
    EXPECT_TRUE(logged(QStringLiteral("Ask confirm requested while recorder is starting — deferred")));
    advance(100ms);
    EXPECT_TRUE(logged(QStringLiteral("Applying deferred submitAsk requested during start")));
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
    EXPECT_EQ(pipeline->capturePurpose(), CapturePurpose::dictation);
}

TEST_F(PipelineTest, AskPromotesARunningDictation)
{
    startLive();
    hotkeys.callbacks().onBeginAsk();
    EXPECT_TRUE(logged(QStringLiteral("Promoted in-flight capture to Ask mode")));
    EXPECT_EQ(recorder.startCalls, 1);
    hotkeys.callbacks().onSubmitAsk();
    EXPECT_EQ(recorder.stopCalls, 1);
    EXPECT_EQ(state(), PipelineState::idle);
}

namespace {

DictationCapture heard(const QString &liveText)
{
    DictationCapture capture;
    capture.liveText = liveText;
    capture.audio = QByteArray(5000, 'a');
    return capture;
}

} // namespace

TEST_F(PipelineTest, AskShowsTwoSourcesOpensOnlySafeActionsAndTranscribesWhenNoTextCameLive)
{
    const auto ask = [&](DictationCapture capture) {
        recorder.captureToReturn = std::move(capture);
        hotkeys.callbacks().onBeginAsk();
        advance(100ms);
        hotkeys.callbacks().onSubmitAsk();
        finish();
        EXPECT_EQ(state(), PipelineState::idle);
        EXPECT_EQ(pipeline->capturePurpose(), CapturePurpose::dictation);
    };
    const QList<AssistantSource> sources{{QStringLiteral("A"), QUrl(QStringLiteral("https://a.example/"))},
                                         {QStringLiteral("B"), QUrl(QStringLiteral("https://b.example/"))},
                                         {QStringLiteral("C"), QUrl(QStringLiteral("https://c.example/"))}};
    assistant.reply = AssistantResult{AssistantAnswer{QStringLiteral("Paris."), sources}};
    ask(heard(QStringLiteral("  What is the capital of France?  ")));
    EXPECT_EQ(assistant.questions, QStringList{QStringLiteral("What is the capital of France?")});
    ASSERT_EQ(indicator.shown.back().state.kind(), IndicatorState::Kind::askAnswer);
    EXPECT_EQ(indicator.shown.back().state.sources(), sources.mid(0, 2));
    EXPECT_TRUE(paste.pasted.isEmpty());
    EXPECT_EQ(history.entryCount(), 0);

    const QUrl video(QStringLiteral("https://www.youtube.com/results?search_query=lofi"));
    assistant.reply = AssistantResult{AssistantAction{QStringLiteral("Opening videos"), video}};
    ask(heard(QStringLiteral("play lofi on youtube")));
    EXPECT_EQ(workspace.opened, QList<QUrl>{video});
    EXPECT_EQ(indicator.current(), QStringLiteral("actionConfirmation(Opening videos)"));

    assistant.reply =
        AssistantResult{AssistantAction{QStringLiteral("Opening"), QUrl(QStringLiteral("https://evil.example/s?k=x"))}};
    ask(heard(QStringLiteral("buy a thing")));
    EXPECT_EQ(workspace.opened.size(), 1);
    EXPECT_EQ(indicator.current(), QStringLiteral("error(That action couldn't be opened safely)"));
    EXPECT_EQ(player.played.back(), kError);

    // Nothing came live: the audio is transcribed, without cleanup.
    assistant.reply = Unexpected{AssistantError{AssistantError::Kind::network, QStringLiteral("down"), 0, {}}};
    DictationCapture silent;
    silent.audio = QByteArray(5000, 'a');
    warmUps.requests.clear();
    ask(silent);
    ASSERT_EQ(warmUps.requests.size(), 1u);
    EXPECT_FALSE(warmUps.requests[0].cleanupEnabled);
    EXPECT_EQ(assistant.questions.back(), warmUps.transcription->text.trimmed());
    EXPECT_EQ(indicator.current(), QStringLiteral("error(Network error — try again)"));
    EXPECT_TRUE(pending.items().isEmpty());

    const auto asked = assistant.questions.size();
    ask(DictationCapture{});
    EXPECT_EQ(assistant.questions.size(), asked);
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(No question heard)"));
}

// Selection rewrite ----------------------------------------------------------------

TEST_F(PipelineTest, SelectionRewritePastesOverTheSelectionAndAlwaysRestoresTheClipboard)
{
    board.setString(QStringLiteral("the user's clipboard"));
    const PasteboardSnapshot before = board.snapshot();
    const auto rewrite = [&] {
        hotkeys.callbacks().onRewriteSelection();
        advance(SelectionRewriteFlow::kCopyWait);
        advance(SelectionRewriteFlow::kPasteWait);
        finish();
        EXPECT_EQ(state(), PipelineState::idle);
        EXPECT_EQ(board.snapshot(), before);
    };

    keys.field = QStringLiteral("please fix this");
    keys.selected = 8;
    rewrite();
    ASSERT_EQ(rewriter.asked.size(), 1u);
    EXPECT_EQ(rewriter.asked[0].text, QStringLiteral("fix this"));
    EXPECT_EQ(rewriter.asked[0].style, RewriteStyle::natural);
    EXPECT_FALSE(rewriter.asked[0].prompt);
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("Rewritten.")});
    ASSERT_TRUE(history.latest());
    EXPECT_TRUE(history.latest()->aiProcessed);
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));
    EXPECT_EQ(keys.events.back(), QStringLiteral("ctrl+c"));

    // Nothing selected (the clipboard does not move), a selection equal to
    // the clipboard's text, and a failed rewrite: nothing pasted.
    keys.selected = 0;
    rewrite();
    EXPECT_EQ(indicator.current(), QStringLiteral("error(No text selected)"));
    keys.field = QStringLiteral("the user's clipboard");
    keys.selected = static_cast<int>(keys.field.size());
    rewrite();
    EXPECT_EQ(indicator.current(), QStringLiteral("error(No text selected)"));
    keys.selected = 4;
    rewriter.reply = Unexpected{RewriteError{RewriteError::Kind::network, QStringLiteral("down"), 0, {}}};
    rewrite();
    EXPECT_EQ(indicator.current(), QStringLiteral("error(Network error)"));
    EXPECT_EQ(rewriter.asked.size(), 2u);
    EXPECT_EQ(paste.pasted.size(), 1);

    // While a dictation is starting, and while it records, nothing happens.
    press();
    hotkeys.callbacks().onRewriteSelection();
    EXPECT_TRUE(
        logs.has(QStringLiteral("pipeline"), QStringLiteral("rewrite ignored — pipeline busy (state=starting)")));
    advance(100ms);
    EXPECT_EQ(state(), PipelineState::recording);
    cancel();
    finish();

    // In a terminal the copy is Ctrl+Shift+C; during a dictation nothing happens.
    workspace.frontmost = QStringLiteral("xterm");
    keys.selected = 4;
    rewrite();
    EXPECT_EQ(keys.events.back(), QStringLiteral("ctrl+shift+c"));
    startLive();
    const auto copies = keys.events.size();
    hotkeys.callbacks().onRewriteSelection();
    finish();
    EXPECT_EQ(keys.events.size(), copies);
    EXPECT_TRUE(
        logs.has(QStringLiteral("pipeline"), QStringLiteral("rewrite ignored — pipeline busy (state=recording)")));
}

TEST_F(PipelineTest, EveryRewriteAndAssistantErrorHasItsIndicatorAndSound)
{
    using R = RewriteError::Kind;
    for (const auto &[kind, shown, cue] : std::vector<std::tuple<R, QString, bool>>{
             {R::providerFailure, QStringLiteral("error(Rewrite failed)"), true},
             {R::decodingFailed, QStringLiteral("error(Server error)"), true},
             {R::unexpectedStatus, QStringLiteral("error(Server error)"), true},
             {R::network, QStringLiteral("error(Network error)"), true},
             {R::notAuthenticated, QStringLiteral("signInRequired"), true},
             {R::unauthorized, QStringLiteral("signInRequired"), true},
             {R::cancelled, QStringLiteral("idle"), false},
             {R::empty, QStringLiteral("error(Rewrite produced no text)"), true},
         }) {
        keys.field = QStringLiteral("some words");
        keys.selected = 5;
        rewriter.reply = Unexpected{RewriteError{kind, QStringLiteral("why"), 500, {}}};
        player.played.clear();
        hotkeys.callbacks().onRewriteSelection();
        advance(SelectionRewriteFlow::kCopyWait);
        finish();
        EXPECT_EQ(indicator.current(), shown);
        EXPECT_EQ(player.played, cue ? QStringList{kError} : QStringList{}) << qPrintable(shown);
    }

    using A = AssistantError::Kind;
    for (const auto &[kind, shown] : std::vector<std::pair<A, QString>>{
             {A::network, QStringLiteral("error(Network error — try again)")},
             {A::decodingFailed, QStringLiteral("error(Couldn't get an answer)")},
             {A::unexpectedStatus, QStringLiteral("error(Couldn't get an answer)")},
             {A::emptyResponse, QStringLiteral("error(Couldn't get an answer)")},
             {A::notAuthenticated, QStringLiteral("signInRequired")},
             {A::unauthorized, QStringLiteral("signInRequired")},
             {A::emptyQuery, QStringLiteral("notice(No question heard)")},
         }) {
        assistant.reply = Unexpected{AssistantError{kind, QStringLiteral("why"), 500, {}}};
        recorder.captureToReturn = heard(QStringLiteral("a question"));
        hotkeys.callbacks().onBeginAsk();
        advance(100ms);
        player.played.clear();
        hotkeys.callbacks().onSubmitAsk();
        finish();
        EXPECT_EQ(indicator.current(), shown);
        EXPECT_EQ(player.played, (QStringList{kStop, kError})) << qPrintable(shown);
    }
}

// ---- delivery roads ----

namespace {

QByteArray audioOf(int bytes)
{
    return QByteArray(bytes, 'a');
}

} // namespace

TEST_F(PipelineTest, CloudRoadDeliversPastesRemembersAndUploads)
{
    DictationCapture capture;
    capture.audio = audioOf(5000);
    capture.recording = audioOf(4000);
    capture.durationMs = 2100;
    capture.engine = QStringLiteral("batch");
    recorder.captureToReturn = capture;
    auto response = *warmUps.transcription;
    response.retainRecording = true;
    response.recordingUploadUrl = QStringLiteral("http://127.0.0.1:1/storage/v1/upload?token=t");
    response.recordingObjectKey = QStringLiteral("u/ID.m4a");
    warmUps.transcription = response;
    dictate();
    ASSERT_EQ(warmUps.requests.size(), 1u);
    const TranscriptionRequest &sent = warmUps.requests[0];
    EXPECT_TRUE(sent.cleanupEnabled);
    EXPECT_FALSE(sent.streamCleanup);
    EXPECT_EQ(sent.durationMs, 2100);
    EXPECT_EQ(sent.appBundleID, QStringLiteral("org.example.Editor"));
    EXPECT_EQ(sent.clientRecordingId, recorder.lastRecordingID);
    EXPECT_EQ(pending.saved.size(), 1);
    EXPECT_EQ(pending.removed, QList<QUuid>{pending.id});
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("Hello there.")});
    ASSERT_EQ(history.entries.size(), 1u);
    EXPECT_TRUE(history.entries[0].aiProcessed);
    EXPECT_EQ(history.entries[0].windowName, QStringLiteral("Notes — Editor"));
    EXPECT_EQ(history.recordings[0], audioOf(4000));
    ASSERT_EQ(uploader.uploads.size(), 1);
    EXPECT_EQ(uploader.uploads[0].key, QStringLiteral("u/ID.m4a"));
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));
    EXPECT_EQ(state(), PipelineState::idle);
    ASSERT_TRUE(pipeline->lastDelivery());
    QStringList labels;
    for (const auto &[label, ms] : pipeline->lastDelivery()->marks)
        labels << label;
    EXPECT_EQ(labels,
              (QStringList{QStringLiteral("stop_record"), QStringLiteral("save_pending"),
                           QStringLiteral("request_build"), QStringLiteral("network"), QStringLiteral("remove_pending"),
                           QStringLiteral("paste"), QStringLiteral("history_add"), QStringLiteral("indicator_done")}));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("pipeline"), QStringLiteral("⏱ Pipeline (")));
    EXPECT_TRUE(logged(QStringLiteral("Delivered: 12 chars via test")));

    // An upload address without the server asking to keep the recording
    // uploads nothing.
    response.retainRecording = false;
    warmUps.transcription = response;
    dictate();
    EXPECT_EQ(history.entries.size(), 2u);
    EXPECT_EQ(uploader.uploads.size(), 1);
}

TEST_F(PipelineTest, ShortAudioEmptyRepliesAndNoEditableFocus)
{
    const auto deliver = [this](DictationCapture capture) {
        recorder.captureToReturn = std::move(capture);
        player.played.clear();
        this->dictate();
    };
    DictationCapture capture;
    capture.audio = audioOf(199);
    deliver(capture);
    EXPECT_TRUE(warmUps.requests.empty());
    EXPECT_EQ(indicator.current(),
              QStringLiteral("error(Microphone returned no audio. Check System Settings → Microphone.)"));
    EXPECT_EQ(player.played, (QStringList{kStart, kStop})); // no sound for this one

    capture.audio = audioOf(200);
    auto blank = *warmUps.transcription;
    blank.text = QStringLiteral("  \n ");
    warmUps.transcription = blank;
    deliver(capture);
    EXPECT_EQ(warmUps.requests.size(), 1u);
    EXPECT_EQ(indicator.current(), QStringLiteral("notice(No speech detected)"));
    EXPECT_TRUE(history.entries.empty());

    // Nothing editable has the focus: the text is shown and still remembered.
    auto reply = blank;
    reply.text = QStringLiteral("Shown, not pasted.");
    warmUps.transcription = reply;
    paste.focus = EditableFocus::notEditable;
    deliver(capture);
    EXPECT_TRUE(paste.pasted.isEmpty());
    EXPECT_EQ(indicator.current(), QStringLiteral("result(Shown, not pasted.)"));
    EXPECT_EQ(history.entries.size(), 1u);
}

TEST_F(PipelineTest, EveryTranscriptionErrorHasItsIndicatorSoundAndRetryRecord)
{
    DictationCapture capture;
    capture.audio = audioOf(800);
    recorder.captureToReturn = capture;
    struct Case
    {
        TranscriptionError error;
        QString indicator;
        std::optional<QString> reason;
    };
    const QList<Case> cases{
        {TranscriptionError::provider(QStringLiteral("Transcription failed: "), QStringLiteral("down")),
         QStringLiteral("error(Transcription failed — retry from menu)"), QStringLiteral("api_failure")},
        {TranscriptionError::decoding(QStringLiteral("bad")), QStringLiteral("error(Server error — retry from menu)"),
         QStringLiteral("api_failure")},
        {TranscriptionError::unexpected(500, {}), QStringLiteral("error(Server error — retry from menu)"),
         QStringLiteral("api_failure")},
        {TranscriptionError::networkError(QStringLiteral("offline")),
         QStringLiteral("error(Network error — retry from menu)"), QStringLiteral("network")},
        {TranscriptionError::sessionExpired(), QStringLiteral("signInRequired"), std::nullopt},
        {TranscriptionError::notSignedIn(), QStringLiteral("signInRequired"), std::nullopt},
    };
    for (const Case &c : cases) {
        warmUps.transcription = Unexpected(c.error);
        player.played.clear();
        quality.reports.clear();
        dictate();
        EXPECT_EQ(indicator.current(), c.indicator);
        EXPECT_EQ(player.played.back(), kError);
        EXPECT_EQ(pending.failures.back().second, c.error.description());
        if (c.reason)
            EXPECT_EQ(quality.reports.back().second, *c.reason);
        else
            EXPECT_TRUE(quality.reports.isEmpty());
        EXPECT_TRUE(paste.pasted.isEmpty());
    }
    EXPECT_TRUE(pending.removed.isEmpty());
}

TEST_F(PipelineTest, OnDeviceTextWithCleanupOnOffAndFillerWords)
{
    DictationCapture capture;
    capture.onDeviceText = QStringLiteral(" um so we ship it ");
    capture.engine = QStringLiteral("pocketsphinx");
    capture.durationMs = 1500;
    recorder.captureToReturn = capture;

    // Cleanup on (the default): the cleaner's text is pasted.
    dictate();
    ASSERT_EQ(warmUps.cleanupRequests.size(), 1u);
    EXPECT_EQ(warmUps.cleanupRequests[0].text, QStringLiteral("um so we ship it"));
    EXPECT_EQ(warmUps.cleanupRequests[0].clientRecordingId, recorder.lastRecordingID);
    EXPECT_EQ(paste.pasted.back(), QStringLiteral("Cleaned text."));
    EXPECT_TRUE(history.entries.front().aiProcessed);

    // A failing cleaner: the raw text goes out.
    warmUps.cleaned = Unexpected(CleanupError::networkError(QStringLiteral("offline")));
    dictate();
    EXPECT_EQ(paste.pasted.back(), QStringLiteral("um so we ship it"));
    EXPECT_FALSE(history.entries.front().aiProcessed);
    EXPECT_TRUE(logged(QStringLiteral("Cleanup failed (pasting raw text instead): Network error: offline")));

    // Cleanup off, filler removal on: removed locally, no cleaner call.
    defaults.set(QStringLiteral("cleanup.enabled"), false);
    defaults.set(QStringLiteral("fillerWords.enabled"), true);
    dictate();
    EXPECT_EQ(warmUps.cleanupRequests.size(), 2u);
    EXPECT_EQ(paste.pasted.back(), QStringLiteral("so we ship it"));
    EXPECT_TRUE(logged(QStringLiteral("On-device transcript ready (13 chars) via pocketsphinx")));

    // The cloud road with cleanup off also removes them locally.
    DictationCapture cloud;
    cloud.audio = audioOf(600);
    recorder.captureToReturn = cloud;
    warmUps.transcription = TranscriptionResponse{QStringLiteral("uh, fine"),
                                                  QStringLiteral("uh, fine"),
                                                  QStringLiteral("e"),
                                                  false,
                                                  false,
                                                  std::nullopt,
                                                  std::nullopt};
    dictate();
    EXPECT_EQ(paste.pasted.back(), QStringLiteral("fine"));
    EXPECT_FALSE(warmUps.requests.back().cleanupEnabled);
}

TEST_F(PipelineTest, TerminalsNeverStreamAndAFailedPendingSaveStillTranscribes)
{
    defaults.set(QStringLiteral("optimistic.paste"), true);
    workspace.frontmost = QStringLiteral("kitty");
    workspace.running << QStringLiteral("kitty");
    pending.failSave = true;
    DictationCapture capture;
    capture.audio = audioOf(900);
    recorder.captureToReturn = capture;
    dictate();
    ASSERT_EQ(warmUps.requests.size(), 1u);
    EXPECT_FALSE(warmUps.requests[0].streamCleanup);
    EXPECT_TRUE(logged(QStringLiteral("Streaming disabled for kitty — using single-shot")));
    EXPECT_TRUE(logged(QStringLiteral("Pending save failed: disk full")));
    EXPECT_EQ(paste.pasted.size(), 1);
    EXPECT_TRUE(pending.removed.isEmpty());
}

TEST_F(PipelineTest, RetryDeliversOldestFirstAndCountsWhatStillFails)
{
    PendingTranscriptions queue(scheduler, dir.path(), immediateQueues());
    auto retrying = std::make_unique<RecordingPipeline>(
        RecordingPipeline::Collaborators{recorder, warmUps, warmUps, paste, history, indicator, auth, hotkeys, sounds,
                                         workspace, defaults, scheduler, queue, &uploader, &quality});
    auto switched = queue.switchTo(QStringLiteral("user-1"));
    finish();
    QList<QUuid> recordingIDs;
    for (const char *audio : {"one", "two", "three"}) {
        recordingIDs << QUuid::createUuid();
        auto saved = queue.save(audio, 900, QStringLiteral("org.example.Editor"), recordingIDs.back());
        finish();
        advance(1s);
    }
    ASSERT_EQ(queue.items().size(), 3);

    auth.signedIn = false;
    auto refused = retrying->retryAllPending();
    finish();
    EXPECT_EQ(indicator.current(), QStringLiteral("signInRequired"));
    EXPECT_TRUE(warmUps.requests.empty());

    auth.signedIn = true;
    auto reply = *warmUps.transcription;
    reply.text = QStringLiteral("One.");
    warmUps.nextTranscriptions.push_back(reply);
    warmUps.nextTranscriptions.push_back(Unexpected(TranscriptionError::networkError(QStringLiteral("offline"))));
    reply.text = QStringLiteral("Three.");
    warmUps.nextTranscriptions.push_back(reply);
    auto retried = retrying->retryAllPending();
    // A second request while the retry runs sends nothing twice.
    auto again = retrying->retryAllPending();
    finish();
    ASSERT_EQ(warmUps.requests.size(), 3u);
    EXPECT_EQ(warmUps.requests[0].audio, QByteArray("one"));
    EXPECT_EQ(warmUps.requests[0].clientRecordingId, recordingIDs[0]);
    EXPECT_FALSE(warmUps.requests[0].streamCleanup);
    EXPECT_EQ(paste.pasted, (QStringList{QStringLiteral("One."), QStringLiteral("Three.")}));
    ASSERT_EQ(history.recordings.size(), 2u);
    EXPECT_EQ(history.recordings[1], QByteArray("three"));
    EXPECT_EQ(indicator.current(), QStringLiteral("error(1 still failed)"));
    EXPECT_EQ(player.played.back(), kError);
    ASSERT_EQ(queue.items().size(), 1);
    EXPECT_EQ(queue.items()[0].clientRecordingId, recordingIDs[1]);
    EXPECT_EQ(queue.items()[0].attempts, 1);
    EXPECT_EQ(queue.items()[0].lastError, QStringLiteral("Network error: offline"));
}

TEST_F(PipelineTest, LiveRawIsPastedAtOnceThenReplacedByTheFinalText)
{
    recorder.streaming = true;
    defaults.set(QStringLiteral("optimistic.paste"), true);
    const auto dictateLive = [this](const QString &raw, std::optional<QString> final) {
        DictationCapture capture;
        capture.liveText = std::move(final);
        recorder.captureToReturn = capture;
        startLive();
        recorder.onLiveRaw(QStringLiteral("  ") + raw + QStringLiteral(" "));
        finish();
        press();
        finish();
    };

    // Pasted at once, swapped in place; the history has what the document has.
    dictateLive(QStringLiteral("um hello there"), QStringLiteral("Hello there."));
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("um hello there")});
    ASSERT_EQ(paste.swaps.size(), 1);
    EXPECT_EQ(paste.swaps[0], qMakePair(QStringLiteral("um hello there"), QStringLiteral("Hello there.")));
    EXPECT_EQ(history.entries.front().text, QStringLiteral("Hello there."));
    EXPECT_TRUE(history.entries.front().aiProcessed);
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));
    EXPECT_TRUE(logged(QStringLiteral("Live swap applied — final 12 chars")));

    // A swap the paste service skips leaves the raw text, unprocessed.
    paste.swapSucceeds = false;
    dictateLive(QStringLiteral("so long"), QStringLiteral("So long."));
    EXPECT_EQ(history.entries.front().text, QStringLiteral("so long"));
    EXPECT_FALSE(history.entries.front().aiProcessed);

    // No final in time: the pasted raw text stands and nothing is sent again.
    dictateLive(QStringLiteral("kept as is"), std::nullopt);
    EXPECT_EQ(history.entries.front().text, QStringLiteral("kept as is"));
    EXPECT_FALSE(history.entries.front().aiProcessed);
    EXPECT_EQ(paste.swaps.size(), 2);
    EXPECT_TRUE(warmUps.requests.empty());

    // Without an editable focus the raw text is held and delivered once.
    paste.focus = EditableFocus::notEditable;
    paste.pasted.clear();
    dictateLive(QStringLiteral("held"), QStringLiteral("Held."));
    EXPECT_TRUE(paste.pasted.isEmpty());
    EXPECT_EQ(indicator.current(), QStringLiteral("result(Held.)"));
    EXPECT_TRUE(logged(QStringLiteral("⏱ raw_received (4 chars) — holding: no editable focus")));

    // In a terminal nothing is pasted before the final text.
    paste.focus = EditableFocus::editable;
    workspace.frontmost = QStringLiteral("konsole");
    dictateLive(QStringLiteral("ls"), QStringLiteral("ls"));
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("ls")});
    EXPECT_EQ(paste.swaps.size(), 2);
}

TEST_F(PipelineTest, StreamedRepliesPasteRawFirstAndNeverLoseIt)
{
    defaults.set(QStringLiteral("optimistic.paste"), true);
    DictationCapture capture;
    capture.audio = audioOf(800);
    recorder.captureToReturn = capture;
    const auto event = [](const char *stage, std::optional<QString> text, std::optional<bool> cleaned = std::nullopt) {
        TranscriptionStreamEvent e;
        e.stage = QString::fromLatin1(stage);
        e.text = std::move(text);
        e.cleaned = cleaned;
        return e;
    };
    const auto stream = [&](std::vector<TranscriptionStreamEvent> events,
                            std::optional<TranscriptionError> failure = std::nullopt) {
        warmUps.streamed = std::move(events);
        warmUps.streamError = std::move(failure);
        paste.pasted.clear();
        paste.swaps.clear();
        pending.removed.clear();
        this->dictate();
    };

    // A cleaned event without its flag but with other text counts as cleaned.
    stream({event("raw", QStringLiteral("um hi all")), event("cleaned", QStringLiteral("Hi all."))});
    EXPECT_TRUE(warmUps.requests.back().streamCleanup);
    EXPECT_EQ(paste.pasted, QStringList{QStringLiteral("um hi all")});
    EXPECT_EQ(paste.swaps.size(), 1);
    EXPECT_EQ(history.entries.front().text, QStringLiteral("Hi all."));
    EXPECT_TRUE(history.entries.front().aiProcessed);
    EXPECT_EQ(pending.removed.size(), 1);

    // A connection that fails after the cleaned text changes nothing.
    const auto before = history.entries.size();
    stream({event("raw", QStringLiteral("um bye")), event("cleaned", QStringLiteral("Bye."))},
           TranscriptionError::networkError(QStringLiteral("reset")));
    EXPECT_EQ(history.entries.size(), before + 1);
    EXPECT_EQ(history.entries.front().text, QStringLiteral("Bye."));
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));

    // Identical: no swap, and the entry counts as processed.
    stream({event("raw", QStringLiteral("Fine.")), event("cleaned", QStringLiteral("Fine."), true)});
    EXPECT_TRUE(paste.swaps.isEmpty());
    EXPECT_TRUE(history.entries.front().aiProcessed);

    // A skipped swap keeps the raw text, unprocessed.
    paste.swapSucceeds = false;
    stream({event("raw", QStringLiteral("so so")), event("cleaned", QStringLiteral("So-so."), true)});
    EXPECT_EQ(history.entries.front().text, QStringLiteral("so so"));
    EXPECT_FALSE(history.entries.front().aiProcessed);

    // Held for want of a focus, then an empty cleaned text: the raw text is
    // shown once, unprocessed.
    paste.focus = EditableFocus::notEditable;
    stream({event("raw", QStringLiteral("held back")), event("cleaned", QStringLiteral(""), true)});
    EXPECT_EQ(indicator.current(), QStringLiteral("result(held back)"));
    EXPECT_FALSE(history.entries.front().aiProcessed);

    // The stream breaks after the raw paste: the raw text stays, no error is
    // shown, and the recording stays queued.
    paste.focus = EditableFocus::editable;
    const auto entries = history.entries.size();
    stream({event("raw", QStringLiteral("cut short"))}, TranscriptionError::networkError(QStringLiteral("reset")));
    EXPECT_EQ(history.entries.size(), entries + 1);
    EXPECT_EQ(history.entries.front().text, QStringLiteral("cut short"));
    EXPECT_EQ(indicator.current(), QStringLiteral("done"));
    EXPECT_TRUE(pending.removed.isEmpty());
    EXPECT_TRUE(pending.failures.isEmpty());

    // Broken before any text: an error, and the failure is on the queued item.
    stream({}, TranscriptionError::networkError(QStringLiteral("reset")));
    EXPECT_EQ(indicator.current(), QStringLiteral("error(Network error — retry from menu)"));
    EXPECT_EQ(pending.failures.size(), 1);
}
