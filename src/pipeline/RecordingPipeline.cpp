#include "pipeline/RecordingPipeline.h"

#include "account/Authenticating.h"
#include "audio/AudioRecorder.h"
#include "audio/DictationCapturing.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyHandling.h"
#include "hotkeys/RecordingMode.h"
#include "indicator/IndicatorPresenting.h"
#include "output/ClipboardHistoring.h"
#include "output/PasteService.h"
#include "output/Pasting.h"
#include "output/RecordingUploader.h"
#include "pipeline/AskFlow.h"
#include "pipeline/SelectionRewriteFlow.h"
#include "pipeline/Stopwatch.h"
#include "platform/Workspace.h"
#include "stt/Transcribing.h"
#include "stt/TranscriptionTypes.h"
#include "system/SoundFeedback.h"
#include "text/Cleanup.h"
#include "text/CleanupFormatting.h"
#include "text/FillerWordRemover.h"
#include "text/TransformService.h"

namespace dravelin {

namespace {

QString lengthCapNotice()
{
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(AudioRecorder::maxDuration).count();
    return QStringLiteral("Stopped at the %1-minute limit").arg(minutes);
}

void info(const QString &message)
{
    logs::info(logs::pipeline(), message);
}

void error(const QString &message)
{
    logs::error(logs::pipeline(), message);
}

// printf's "%f": six decimals.
QString fixed(double value)
{
    return QString::number(value, 'f', 6);
}

} // namespace

QString toString(PipelineState state)
{
    switch (state) {
    case PipelineState::idle:
        return QStringLiteral("idle");
    case PipelineState::recording:
        return QStringLiteral("recording");
    case PipelineState::processing:
        return QStringLiteral("processing");
    }
    return {};
}

QString toString(PendingStartAction action)
{
    switch (action) {
    case PendingStartAction::stop:
        return QStringLiteral("stop");
    case PendingStartAction::discard:
        return QStringLiteral("discard");
    case PendingStartAction::submitAsk:
        return QStringLiteral("submitAsk");
    }
    return {};
}

RecordingPipeline::RecordingPipeline(Collaborators collaborators, QObject *parent)
    : QObject(parent)
    , m_c(collaborators)
    , m_delivery(new DictationDelivery(m_c, this))
    , m_ask(new AskFlow(m_c, this))
    , m_selection(new SelectionRewriteFlow(m_c, this))
{}

RecordingPipeline::~RecordingPipeline()
{
    // Timer tasks hold the pipeline weakly; stop them waking for nothing.
    m_tapDecisionTask.cancel();
    m_noSpeechTask.cancel();
}

void RecordingPipeline::wireUp()
{
    HotkeyCallbacks &callbacks = m_c.hotkeys.callbacks();
    callbacks.onToggleRecord = weakTask(this, &RecordingPipeline::handleTogglePress);
    callbacks.onToggleRecordReleased = weakTask(this, &RecordingPipeline::handleToggleRelease);
    callbacks.onPrivatePaste = weakTask(this, &RecordingPipeline::privatePaste);
    callbacks.onCancelRecord = weakTask(this, &RecordingPipeline::cancelRecord);
    callbacks.onRewriteSelection = [weak = QPointer(this)] {
        if (weak)
            weak->m_tasks.track(weak->rewriteSelection(RewriteStyle::natural));
    };
    callbacks.onBeginAsk = weakTask(this, &RecordingPipeline::beginAsk);
    callbacks.onSubmitAsk = weakTask(this, &RecordingPipeline::submitAsk);
    m_c.hotkeys.registerHotkeys();
    if (m_c.recorder.isStreamingRecorder())
        m_tasks.track(m_c.recorder.prewarm());
    info(QStringLiteral("Pipeline wired — toggleRecord, privatePaste (⌘⌃V), and cancelRecord callbacks set"));
    info(QStringLiteral("Pipeline wired and hotkeys registered"));
}

AppControlActions RecordingPipeline::controlActions()
{
    AppControlActions actions;
    actions.toggle = weakTask(this, &RecordingPipeline::toggleRecord);
    actions.start = weakTask(this, &RecordingPipeline::startFromIdle);
    actions.stop = weakTask(this, &RecordingPipeline::stopIfRecording);
    actions.cancel = weakTask(this, &RecordingPipeline::cancelRecord);
    actions.privatePaste = weakTask(this, &RecordingPipeline::privatePaste);
    actions.rewriteSelection = [weak = QPointer(this)] {
        if (weak)
            weak->m_tasks.track(weak->rewriteSelection(RewriteStyle::natural));
    };
    actions.state = [weak = QPointer(this)] { return toString(weak ? weak->m_state : PipelineState::idle); };
    return actions;
}

QCoro::Task<> RecordingPipeline::startFromIdle()
{
    if (m_isStarting || m_state != PipelineState::idle) {
        info(QStringLiteral("Start ignored — state=%1").arg(toString(m_state)));
        co_return;
    }
    co_await toggleRecord();
}

QCoro::Task<> RecordingPipeline::stopIfRecording()
{
    // Mid-start the stop waits for the recorder to go live; an Ask capture
    // goes to the assistant, as with the record hotkey.
    if (m_isStarting && m_capturePurpose == CapturePurpose::dictation)
        co_await requestStop();
    else if (m_isStarting || m_state == PipelineState::recording)
        co_await toggleRecord();
    else
        info(QStringLiteral("Stop ignored — state=%1").arg(toString(m_state)));
}

bool RecordingPipeline::isSignedIn() const
{
    return m_c.auth.isSignedIn();
}

void RecordingPipeline::setState(PipelineState state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void RecordingPipeline::clearLiveRawContext()
{
    m_liveRawText.reset();
    m_liveRawTarget.reset();
    m_liveRawPasted = false;
    m_liveRawPastedAt.reset();
    m_liveRawHandled.reset();
}

QCoro::Task<> RecordingPipeline::handleTogglePress()
{
    QPointer self(this);
    const RecordingMode mode = recordingMode::persisted(m_c.defaults);
    info(QStringLiteral("Toggle press (mode=%1)").arg(recordingMode::rawValue(mode)));
    if (mode == RecordingMode::toggle) {
        co_await toggleRecord();
        co_return;
    }
    switch (m_holdSubState) {
    case HoldSubState::idle:
        m_pressStartTime = m_c.scheduler.monotonicNow();
        m_promotedPress = false;
        m_holdSubState = HoldSubState::armed;
        co_await toggleRecord(); // capture starts on the press itself
        break;
    case HoldSubState::armed:
        break; // a repeated press while the first is still down
    case HoldSubState::awaitingSecondTap:
        m_tapDecisionTask.cancel();
        m_holdSubState = HoldSubState::continuousRecording;
        m_promotedPress = true;
        m_pressStartTime = m_c.scheduler.monotonicNow();
        info(QStringLiteral("HoldOrDoubleTap: double-tap → hands-free (capture already live)"));
        break;
    case HoldSubState::continuousRecording:
        m_pressStartTime = m_c.scheduler.monotonicNow(); // the release decides
        break;
    }
}

QCoro::Task<> RecordingPipeline::handleToggleRelease()
{
    if (recordingMode::persisted(m_c.defaults) == RecordingMode::toggle)
        co_return;
    const Millis held = m_pressStartTime ? m_c.scheduler.monotonicNow() - *m_pressStartTime : Millis(0);
    m_pressStartTime.reset();
    const bool isHold = held >= holdThreshold;

    switch (m_holdSubState) {
    case HoldSubState::idle:
    case HoldSubState::awaitingSecondTap:
        break;
    case HoldSubState::armed:
        if (!m_isStarting && m_state != PipelineState::recording) {
            m_holdSubState = HoldSubState::idle; // the start failed or was cancelled
            break;
        }
        if (isHold) {
            m_holdSubState = HoldSubState::idle;
            info(QStringLiteral("HoldOrDoubleTap: hold released after %1 ms → stop").arg(held.count()));
            co_await requestStop();
        } else {
            m_holdSubState = HoldSubState::awaitingSecondTap;
            armTapDecision();
            info(QStringLiteral("HoldOrDoubleTap: quick tap — holding capture for %1s awaiting second tap")
                     .arg(fixed(std::chrono::duration<double>(doubleTapWindow).count())));
        }
        break;
    case HoldSubState::continuousRecording:
        if (!m_promotedPress) {
            info(QStringLiteral("HoldOrDoubleTap: tap while hands-free → stop"));
            m_holdSubState = HoldSubState::idle;
            co_await requestStop();
            break;
        }
        m_promotedPress = false;
        if (isHold) {
            info(QStringLiteral("HoldOrDoubleTap: second tap was held → stop on release"));
            m_holdSubState = HoldSubState::idle;
            co_await requestStop();
        }
        break;
    }
}

void RecordingPipeline::armTapDecision()
{
    const std::stop_token token = m_tapDecisionTask.renew();
    m_tasks.track(tapDecision(QPointer(this), token, m_c.scheduler));
}

QCoro::Task<> RecordingPipeline::tapDecision(QPointer<RecordingPipeline> weak, std::stop_token token,
                                             Scheduler &scheduler)
{
    co_await scheduler.sleep(doubleTapWindow, token); // an interrupted sleep falls through to the checks
    if (!weak || token.stop_requested() || weak->m_holdSubState != HoldSubState::awaitingSecondTap)
        co_return;
    weak->m_holdSubState = HoldSubState::idle;
    co_await weak->requestDiscard();
}

void RecordingPipeline::resetHoldGesture()
{
    m_tapDecisionTask.cancel();
    m_holdSubState = HoldSubState::idle;
    m_promotedPress = false;
    m_pressStartTime.reset();
}

QCoro::Task<> RecordingPipeline::toggleRecord()
{
    if (!isSignedIn()) {
        info(QStringLiteral("Toggle ignored — not signed in"));
        m_c.indicator.present(IndicatorState::signInRequired(), std::nullopt);
        co_return;
    }
    if (m_isStarting) {
        if (m_capturePurpose == CapturePurpose::ask) {
            m_pendingStartAction = PendingStartAction::submitAsk;
            info(QStringLiteral("Ask confirm requested while recorder is starting — deferred"));
        } else {
            info(QStringLiteral("Toggle ignored — recording is still starting"));
        }
        co_return;
    }
    switch (m_state) {
    case PipelineState::idle:
        m_capturePurpose = CapturePurpose::dictation;
        co_await start();
        break;
    case PipelineState::recording:
        if (m_capturePurpose == CapturePurpose::ask)
            co_await stopAndAsk();
        else
            co_await stopAndTranscribe();
        break;
    case PipelineState::processing:
        info(QStringLiteral("Toggle ignored — currently transcribing"));
        break;
    }
}

QCoro::Task<> RecordingPipeline::requestStop()
{
    if (m_isStarting) {
        m_pendingStartAction = PendingStartAction::stop;
        info(QStringLiteral("Stop requested mid-start — deferred until the recorder is live"));
    } else if (m_state == PipelineState::recording) {
        co_await stopAndTranscribe();
    }
}

QCoro::Task<> RecordingPipeline::requestDiscard()
{
    if (m_isStarting) {
        m_pendingStartAction = PendingStartAction::discard;
        info(QStringLiteral("Discard requested mid-start — deferred until the recorder is live"));
        co_return;
    }
    co_await discard();
}

QCoro::Task<> RecordingPipeline::discard()
{
    if (m_state != PipelineState::recording)
        co_return;
    QPointer self(this);
    m_c.hotkeys.resetAskGesture();
    m_capturePurpose = CapturePurpose::dictation;
    m_noSpeechTask.cancel();
    m_captureBundleID.reset();
    m_captureRecordingID.reset();
    co_await m_c.recorder.cancel();
    if (!self)
        co_return;
    m_c.indicator.hide();
    setState(PipelineState::idle);
    m_c.hotkeys.unregisterCancelHotkey();
    info(QStringLiteral("HoldOrDoubleTap: no second tap → capture discarded"));
}

QCoro::Task<> RecordingPipeline::start()
{
    QPointer self(this);
    if (onRecordingWillStart)
        onRecordingWillStart();
    m_isStarting = true;
    m_pendingStartAction.reset();
    // However start() ends, it ends "starting" and drops any deferred action
    // (after a deferred action has run).
    struct EndStarting
    {
        QPointer<RecordingPipeline> pipeline;
        ~EndStarting()
        {
            if (pipeline) {
                pipeline->m_isStarting = false;
                pipeline->m_pendingStartAction.reset();
            }
        }
    } endStarting{self};

    clearLiveRawContext();
    m_captureBundleID = m_c.workspace.frontmostApplicationID();
    m_captureRecordingID = QUuid::createUuid();
    const Millis t0 = m_c.scheduler.monotonicNow();

    // The indicator and the start cue come before the microphone is live.
    m_c.indicator.present(m_capturePurpose == CapturePurpose::ask ? IndicatorState::askRecording()
                                                                  : IndicatorState::recording(),
                          std::nullopt);
    m_c.sounds.play(SoundFeedback::Cue::start);

    const auto started = co_await m_c.recorder.start(m_captureBundleID, *m_captureRecordingID);
    if (!self)
        co_return;

    if (!started) {
        m_c.hotkeys.resetAskGesture();
        m_capturePurpose = CapturePurpose::dictation;
        m_captureBundleID.reset();
        m_captureRecordingID.reset();
        resetHoldGesture();
        if (started.error().kind == AudioRecorderError::Kind::permissionDenied) {
            error(QStringLiteral("Mic permission denied — opened System Settings"));
            m_c.sounds.play(SoundFeedback::Cue::error);
            m_c.indicator.present(IndicatorState::error(QStringLiteral("Enable mic in System Settings, then retry")),
                                  std::nullopt);
        } else {
            error(QStringLiteral("Start failed: %1").arg(started.error().description()));
            m_c.sounds.play(SoundFeedback::Cue::error);
            m_c.indicator.present(IndicatorState::error(QStringLiteral("Couldn't start recording")), std::nullopt);
        }
        co_return;
    }

    if (m_c.recorder.isStreamingRecorder()) {
        // Reaching the length cap stops and transcribes like a toggle; the
        // user is told afterwards why it stopped.
        m_stoppedAtLengthCap = false;
        m_c.recorder.setOnAutoStop([weak = QPointer(this)] {
            if (!weak)
                return;
            weak->m_stoppedAtLengthCap = true;
            weak->m_tasks.track(weak->toggleRecord());
        });
        m_c.recorder.setOnLiveRaw([weak = QPointer(this)](QString text) {
            if (!weak)
                return;
            // Raw texts are handled one after another, in order.
            auto done = std::make_shared<AsyncEvent>();
            auto previous = std::exchange(weak->m_liveRawHandled, done);
            weak->m_tasks.track(weak->handleLiveRaw(std::move(text), std::move(previous), std::move(done)));
        });
    }
    setState(PipelineState::recording);
    m_c.hotkeys.registerCancelHotkey();
    armNoSpeechWatchdog();
    info(QStringLiteral("⏱ mic live %1 ms after hotkey").arg((m_c.scheduler.monotonicNow() - t0).count()));
    m_c.transcription.warmUp();
    m_c.cleanupFormatter.warmUp();
    info(QStringLiteral("Recording started in %1").arg(m_captureBundleID.value_or(QStringLiteral("unknown"))));

    if (m_pendingStartAction) {
        const PendingStartAction action = *m_pendingStartAction;
        m_pendingStartAction.reset();
        info(QStringLiteral("Applying deferred %1 requested during start").arg(toString(action)));
        switch (action) {
        case PendingStartAction::stop:
            co_await stopAndTranscribe();
            break;
        case PendingStartAction::discard:
            co_await discard();
            break;
        case PendingStartAction::submitAsk:
            co_await stopAndAsk();
            break;
        }
    }
}

QCoro::Task<> RecordingPipeline::cancelRecord()
{
    QPointer self(this);
    if (m_isStarting) {
        m_pendingStartAction = PendingStartAction::discard;
        m_c.hotkeys.resetAskGesture();
        resetHoldGesture();
        info(QStringLiteral("Cancel requested while recorder is starting — deferred"));
        co_return;
    }
    if (m_state != PipelineState::recording)
        co_return; // a cancel during processing does not abort a transcription
    m_c.hotkeys.resetAskGesture();
    m_capturePurpose = CapturePurpose::dictation;
    info(QStringLiteral("User cancelled recording"));
    resetHoldGesture();
    m_noSpeechTask.cancel();
    m_captureBundleID.reset();
    m_captureRecordingID.reset();
    co_await m_c.recorder.cancel();
    if (!self)
        co_return;
    m_c.indicator.present(IndicatorState::notice(QStringLiteral("Cancelled")), Millis(1200));
    m_c.sounds.play(SoundFeedback::Cue::discard);
    setState(PipelineState::idle);
    m_c.hotkeys.unregisterCancelHotkey();
}

void RecordingPipeline::armNoSpeechWatchdog()
{
    const std::stop_token token = m_noSpeechTask.renew();
    m_tasks.track(noSpeechWatchdog(QPointer(this), token, m_c.scheduler));
}

QCoro::Task<> RecordingPipeline::noSpeechWatchdog(QPointer<RecordingPipeline> weak, std::stop_token token,
                                                  Scheduler &scheduler)
{
    const Millis deadline = scheduler.monotonicNow() + noSpeechTimeout;
    float peak = 0;
    int loudSamples = 0;
    while (weak && !token.stop_requested() && scheduler.monotonicNow() < deadline) {
        if (weak->m_state != PipelineState::recording)
            co_return;
        if (weak->m_c.recorder.heardSpeech()) {
            info(QStringLiteral("Speech confirmed — no-speech watchdog stood down"));
            co_return;
        }
        const float level = weak->m_c.recorder.currentLevel();
        peak = std::max(peak, level);
        if (level >= loudAudioVetoLevel)
            ++loudSamples;
        co_await scheduler.sleep(noSpeechPollInterval, token); // a cancelled sleep falls through to the checks
    }
    if (!weak || token.stop_requested() || weak->m_state != PipelineState::recording)
        co_return;
    if (loudSamples < loudAudioVetoSamples) {
        info(QStringLiteral("No speech in %1s (peak level %2) — stopping")
                 .arg(fixed(std::chrono::duration<double>(noSpeechTimeout).count()), fixed(peak)));
        co_await weak->stopForNoSpeech();
    } else {
        info(QStringLiteral("No transcript yet but %1 loud samples (peak %2) — watchdog deferring to the 180s cap")
                 .arg(loudSamples)
                 .arg(fixed(peak)));
    }
}

QCoro::Task<> RecordingPipeline::stopForNoSpeech()
{
    QPointer self(this);
    m_noSpeechTask.cancel();
    m_c.hotkeys.resetAskGesture();
    m_capturePurpose = CapturePurpose::dictation;
    resetHoldGesture();
    m_captureBundleID.reset();
    co_await m_c.recorder.cancel();
    if (!self)
        co_return;
    setState(PipelineState::idle);
    m_c.hotkeys.unregisterCancelHotkey();
    m_c.sounds.play(SoundFeedback::Cue::discard);
    m_c.indicator.present(IndicatorState::notice(QStringLiteral("Didn't hear anything — recording stopped")),
                          std::nullopt);
}

QCoro::Task<> RecordingPipeline::privatePaste()
{
    info(QStringLiteral("⌘⌃V pressed — entries in history: %1").arg(m_c.history.entryCount()));
    const auto entry = m_c.history.latest();
    if (!entry) {
        error(QStringLiteral("Private paste: history is empty (no prior dictations to paste)"));
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No transcription yet")), std::nullopt);
        co_return;
    }
    QPointer self(this);
    info(QStringLiteral("Private paste: pasting %1 chars").arg(entry->text.size()));
    co_await m_c.paste.paste(entry->text, std::nullopt, false);
    if (!self)
        co_return;
    m_c.indicator.present(IndicatorState::done(), std::nullopt);
}

QCoro::Task<> RecordingPipeline::beginAsk()
{
    if (!isSignedIn()) {
        m_c.hotkeys.resetAskGesture();
        m_c.indicator.present(IndicatorState::signInRequired(), std::nullopt);
        co_return;
    }
    if (m_state == PipelineState::processing) {
        m_c.hotkeys.resetAskGesture(); // an Ask during a transcription is dropped
        co_return;
    }
    m_capturePurpose = CapturePurpose::ask;
    m_pendingStartAction.reset();
    resetHoldGesture();
    m_c.indicator.present(IndicatorState::askRecording(), std::nullopt);
    if (!m_isStarting && m_state != PipelineState::recording)
        co_await start();
    else
        info(QStringLiteral("Promoted in-flight capture to Ask mode"));
}

QCoro::Task<> RecordingPipeline::submitAsk()
{
    if (m_capturePurpose != CapturePurpose::ask) {
        m_c.hotkeys.resetAskGesture();
        co_return;
    }
    if (m_isStarting) {
        m_pendingStartAction = PendingStartAction::submitAsk;
        info(QStringLiteral("Ask submit requested while recorder is starting"));
        co_return;
    }
    if (m_state == PipelineState::recording)
        co_await stopAndAsk();
    else
        m_c.hotkeys.resetAskGesture();
}

// The common start of ending a capture: the gesture and the watchdog end,
// the stop cue plays and the indicator shows that work is under way.
void RecordingPipeline::enterProcessing()
{
    resetHoldGesture();
    m_noSpeechTask.cancel();
    setState(PipelineState::processing);
    m_c.sounds.play(SoundFeedback::Cue::stop);
    m_c.hotkeys.unregisterCancelHotkey();
    m_c.indicator.present(IndicatorState::processing(), std::nullopt);
}

bool RecordingPipeline::isNoUndoApplication(const std::optional<QString> &applicationID)
{
    return PasteService::isTerminal(applicationID);
}

void RecordingPipeline::clearCaptureContext()
{
    m_captureBundleID.reset();
    m_captureRecordingID.reset();
}

// Ends a dictation capture and hands it, with its context, to the delivery.
QCoro::Task<> RecordingPipeline::stopAndTranscribe()
{
    QPointer self(this);
    Stopwatch sw(m_c.scheduler);
    enterProcessing();

    auto capture = co_await m_c.recorder.stopCapture();
    if (!self)
        co_return;
    const QUuid recordingID = m_captureRecordingID.value_or(QUuid());
    if (!capture) {
        error(QStringLiteral("Recorder returned no capture"));
        m_delivery->conclude({DictationOutcome::Kind::unprocessable, std::nullopt}, recordingID, std::nullopt,
                             std::nullopt);
    } else {
        sw.mark(QStringLiteral("stop_record"));
        // A raw text still being pasted is part of what is delivered.
        if (const auto handled = m_liveRawHandled) {
            co_await handled->wait();
            if (!self)
                co_return;
        }
        FinishedCapture finished{std::move(*capture), m_captureBundleID, recordingID,
                                 LiveRaw{m_liveRawText, m_liveRawTarget, m_liveRawPasted, m_liveRawPastedAt}};
        clearLiveRawContext();
        clearCaptureContext();
        co_await m_delivery->deliver(std::move(finished), sw);
        if (!self)
            co_return;
    }
    clearLiveRawContext();
    clearCaptureContext();
    setState(PipelineState::idle);
    const auto &delivered = m_delivery->lastDelivery;
    if (m_stoppedAtLengthCap && delivered && delivered->pasted) {
        // Nothing else on screen says the recording was cut short (a result
        // panel would already show the text, and keeps its place).
        info(QStringLiteral("Told the user the recording stopped at the length cap"));
        m_c.indicator.present(IndicatorState::notice(lengthCapNotice()), std::nullopt);
    }
}

QCoro::Task<> RecordingPipeline::retryAllPending()
{
    co_await m_delivery->retryAllPending();
}

// Ends an Ask capture and has the question answered.
QCoro::Task<> RecordingPipeline::stopAndAsk()
{
    QPointer self(this);
    m_c.hotkeys.resetAskGesture();
    enterProcessing();

    auto capture = co_await m_c.recorder.stopCapture();
    if (!self)
        co_return;
    if (!capture) {
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No question heard")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
    } else {
        // The raw text still being handled is part of the question.
        if (const auto handled = m_liveRawHandled) {
            co_await handled->wait();
            if (!self)
                co_return;
        }
        AskFlow *ask = m_ask;
        co_await ask->answer(std::move(*capture), m_liveRawText, m_captureBundleID);
        if (!self)
            co_return;
    }
    m_captureBundleID.reset();
    m_captureRecordingID.reset();
    m_capturePurpose = CapturePurpose::dictation;
    clearLiveRawContext();
    setState(PipelineState::idle);
}

// Raw text from the live socket while recording: held for the stop, and with
// optimistic paste on, pasted at once (the cleaned text replaces it later).
QCoro::Task<> RecordingPipeline::handleLiveRaw(QString text, std::shared_ptr<AsyncEvent> previous,
                                               std::shared_ptr<AsyncEvent> done)
{
    QPointer self(this);
    if (previous)
        co_await previous->wait();
    if (self) {
        if (m_capturePurpose == CapturePurpose::ask) {
            const QString trimmed = text.trimmed();
            if (!trimmed.isEmpty()) {
                m_liveRawText = trimmed;
                m_liveRawTarget.reset();
                m_liveRawPasted = false;
                info(QStringLiteral("Ask raw transcript received (%1 chars); paste suppressed").arg(trimmed.size()));
            }
        } else {
            co_await optimisticallyPasteLiveRaw(std::move(text));
        }
    }
    done->set();
}

QCoro::Task<> RecordingPipeline::optimisticallyPasteLiveRaw(QString text)
{
    QPointer self(this);
    QString raw = text.trimmed();
    if (raw.isEmpty())
        co_return;
    if (FillerWordsSettings::isEnabled(m_c.defaults))
        raw = FillerWordRemover::remove(raw, FillerWordsSettings::words(m_c.defaults));
    if (raw.isEmpty())
        co_return; // only filler words
    const std::optional<QString> target = m_c.workspace.frontmostApplicationID();
    m_liveRawText = raw;
    m_liveRawTarget = target;
    const bool optimistic = CleanupSettings::isEnabled(m_c.defaults) &&
                            m_c.defaults.boolValue(QStringLiteral("optimistic.paste"), false) &&
                            !isNoUndoApplication(target);
    if (!optimistic) {
        info(QStringLiteral("⏱ raw_received (%1 chars) — holding for cleaned final (optimistic off)").arg(raw.size()));
        co_return;
    }
    Pasting &paste = m_c.paste;
    const EditableFocus focus = co_await paste.focusedEditableTarget(target);
    if (!self)
        co_return;
    if (focus == EditableFocus::notEditable) {
        info(QStringLiteral("⏱ raw_received (%1 chars) — holding: no editable focus").arg(raw.size()));
        co_return;
    }
    info(QStringLiteral("⏱ raw_received (%1 chars) — optimistic paste").arg(raw.size()));
    co_await paste.paste(raw, target, m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false));
    if (!self)
        co_return;
    m_liveRawPasted = true;
    m_liveRawPastedAt = m_c.scheduler.monotonicNow();
    m_c.indicator.present(IndicatorState::processing(), std::nullopt);
}

QCoro::Task<> RecordingPipeline::rewriteSelection(RewriteStyle style)
{
    // Named before the co_await (see docs/decisions.md on GCC 12).
    QString label = QStringLiteral("rewrite");
    SelectionRewriteFlow::Provider provider = m_selection->styleProvider(style);
    co_await runSelectionRewrite(std::move(label), std::move(provider));
}

void RecordingPipeline::refuseWithError(const QString &logLine, const QString &message)
{
    error(logLine);
    m_c.indicator.present(IndicatorState::error(message), std::nullopt);
    m_c.sounds.play(SoundFeedback::Cue::error);
}

QCoro::Task<> RecordingPipeline::runTransform(QUuid id)
{
    const QString name = id.toString(QUuid::WithoutBraces).toUpper();
    if (!m_c.transforms) {
        refuseWithError(QStringLiteral("runTransform(%1) — TransformService not wired").arg(name),
                        QStringLiteral("Internal error"));
        co_return;
    }
    const auto transform = m_c.transforms->transform(id);
    if (!transform) {
        refuseWithError(QStringLiteral("runTransform: unknown id %1").arg(name), QStringLiteral("Transform not found"));
        co_return;
    }
    QString label = QStringLiteral("transform[%1]").arg(transform->name);
    SelectionRewriteFlow::Provider provider = m_selection->promptProvider(transform->prompt);
    co_await runSelectionRewrite(std::move(label), std::move(provider));
}

// The state around a selection rewrite: signed in, nothing else running, the
// pipeline busy from the copy to the restore.
QCoro::Task<>
RecordingPipeline::runSelectionRewrite(QString label,
                                       std::function<QCoro::Task<Expected<QString, RewriteError>>(QString)> provider)
{
    QPointer self(this);
    if (!isSignedIn()) {
        info(QStringLiteral("%1 ignored — not signed in").arg(label));
        m_c.indicator.present(IndicatorState::signInRequired(), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::error);
        co_return;
    }
    // A capture that is still starting counts as busy: it becomes
    // `recording` when the microphone is live.
    if (m_isStarting || m_state != PipelineState::idle) {
        info(QStringLiteral("%1 ignored — pipeline busy (state=%2)")
                 .arg(label, m_isStarting ? QStringLiteral("starting") : toString(m_state)));
        co_return;
    }
    setState(PipelineState::processing);
    SelectionRewriteFlow *flow = m_selection;
    co_await flow->run(std::move(label), std::move(provider));
    if (self)
        setState(PipelineState::idle);
}

} // namespace dravelin
