#include "pipeline/RecordingPipeline.h"

#include "account/Authenticating.h"
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
#include "pipeline/Stopwatch.h"
#include "platform/Workspace.h"
#include "stt/Transcribing.h"
#include "stt/TranscriptionTypes.h"
#include "system/SoundFeedback.h"
#include "text/Cleanup.h"
#include "text/CleanupFormatting.h"
#include "text/FillerWordRemover.h"

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::pipeline(), message);
}

void debug(const QString &message)
{
    logs::debug(logs::pipeline(), message);
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

RecordingPipeline::RecordingPipeline(Collaborators collaborators, QObject *parent) : QObject(parent), m_c(collaborators)
{}

RecordingPipeline::~RecordingPipeline()
{
    // Timer tasks hold the pipeline weakly; stop them waking for nothing.
    m_tapDecisionTask.cancel();
    m_noSpeechTask.cancel();
    m_liveRawPasteTask.cancel();
}

void RecordingPipeline::wireUp()
{
    HotkeyCallbacks &callbacks = m_c.hotkeys.callbacks();
    callbacks.onToggleRecord = weakTask(this, &RecordingPipeline::handleTogglePress);
    callbacks.onToggleRecordReleased = weakTask(this, &RecordingPipeline::handleToggleRelease);
    callbacks.onPrivatePaste = weakTask(this, &RecordingPipeline::privatePaste);
    callbacks.onCancelRecord = weakTask(this, &RecordingPipeline::cancelRecord);
    callbacks.onRewriteSelection = weakTask(this, &RecordingPipeline::rewriteSelection);
    callbacks.onBeginAsk = weakTask(this, &RecordingPipeline::beginAsk);
    callbacks.onSubmitAsk = weakTask(this, &RecordingPipeline::submitAsk);
    m_c.hotkeys.registerHotkeys();
    if (m_c.recorder.isStreamingRecorder())
        m_tasks.track(m_c.recorder.prewarm());
    info(QStringLiteral("Pipeline wired — toggleRecord, privatePaste (⌘⌃V), and cancelRecord callbacks set"));
    info(QStringLiteral("Pipeline wired and hotkeys registered"));
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
    m_liveRawPasteTask.cancel();
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
    m_captureRetainRecording = false;
    m_captureUploadURL.reset();
    m_captureObjectKey.reset();
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
        // Reaching the length cap stops and transcribes like a toggle.
        m_c.recorder.setOnAutoStop(weakTask(this, &RecordingPipeline::toggleRecord));
        m_c.recorder.setOnLiveRaw([weak = QPointer(this)](QString text) {
            if (!weak)
                return;
            weak->m_liveRawPasteTask.renew();
            weak->m_tasks.track(weak->handleLiveRaw(std::move(text)));
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
    m_captureRecording.reset();
    m_captureRecordingID.reset();
    m_captureDurationMs.reset();
    m_captureRetainRecording = false;
    m_captureUploadURL.reset();
    m_captureObjectKey.reset();
}

void RecordingPipeline::reportQuality(QualityCategory category, QString reason, std::optional<qint64> durationMs,
                                      std::optional<QString> engine)
{
    if (!m_c.quality || !m_captureRecordingID)
        return;
    m_c.quality->report(*m_captureRecordingID, category, std::move(reason), durationMs, std::move(engine));
}

void RecordingPipeline::reportQualityFor(const BackendError &failure, std::optional<qint64> durationMs,
                                         std::optional<QString> engine)
{
    switch (failure.kind) {
    case BackendError::Kind::providerFailure:
    case BackendError::Kind::decodingFailed:
    case BackendError::Kind::unexpectedStatus:
        reportQuality(QualityCategory::error, QStringLiteral("api_failure"), durationMs, std::move(engine));
        break;
    case BackendError::Kind::network:
        reportQuality(QualityCategory::error, QStringLiteral("network"), durationMs, std::move(engine));
        break;
    case BackendError::Kind::notAuthenticated:
    case BackendError::Kind::unauthorized:
        break;
    }
}

void RecordingPipeline::handleTranscriptionError(const BackendError &failure)
{
    switch (failure.kind) {
    case BackendError::Kind::providerFailure:
        error(QStringLiteral("Provider failure: %1").arg(failure.message));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Transcription failed — retry from menu")),
                              std::nullopt);
        break;
    case BackendError::Kind::decodingFailed:
    case BackendError::Kind::unexpectedStatus:
        error(QStringLiteral("Server returned unexpected response"));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Server error — retry from menu")), std::nullopt);
        break;
    case BackendError::Kind::network:
        error(QStringLiteral("Network: %1").arg(failure.message));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Network error — retry from menu")), std::nullopt);
        break;
    case BackendError::Kind::notAuthenticated:
    case BackendError::Kind::unauthorized:
        error(QStringLiteral("Auth error during transcription"));
        m_c.indicator.present(IndicatorState::signInRequired(), std::nullopt);
        break;
    }
    m_c.sounds.play(SoundFeedback::Cue::error);
}

void RecordingPipeline::noteRetention(bool retain, const std::optional<QString> &uploadURL,
                                      const std::optional<QString> &objectKey)
{
    if (retain)
        m_captureRetainRecording = true;
    if (uploadURL && QUrl(*uploadURL, QUrl::StrictMode).isValid() && !QUrl(*uploadURL).scheme().isEmpty() &&
        objectKey && !objectKey->isEmpty()) {
        m_captureUploadURL = uploadURL;
        m_captureObjectKey = objectKey;
    }
}

void RecordingPipeline::uploadCaptureAudio()
{
    if (!m_captureRetainRecording || !m_captureUploadURL || !m_captureObjectKey || !m_c.uploader ||
        !m_captureRecording || m_captureRecording->isEmpty() || !m_captureRecordingID)
        return;
    // The uploader runs on its own; nobody waits for it.
    m_c.uploader->upload(*m_captureRecording, *m_captureRecordingID, QUrl(*m_captureUploadURL), *m_captureObjectKey);
}

QCoro::Task<bool> RecordingPipeline::pasteOrPresent(QString text, std::optional<QString> targetBundleID)
{
    QPointer self(this);
    Pasting &paste = m_c.paste;
    const EditableFocus focus = co_await paste.focusedEditableTarget(targetBundleID);
    if (!self)
        co_return false;
    debug(QStringLiteral("Focus probe → %1").arg(toString(focus)));
    if (focus == EditableFocus::notEditable) {
        info(QStringLiteral("No editable focus — presenting result panel instead of pasting (%1 chars)")
                 .arg(text.size()));
        m_c.indicator.present(IndicatorState::result(text), std::nullopt);
        co_return false;
    }
    const bool keep = m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false);
    co_await paste.paste(text, targetBundleID, keep);
    co_return true;
}

QCoro::Task<> RecordingPipeline::addDictationToHistory(QString text, std::optional<QString> source, bool aiProcessed)
{
    QPointer self(this);
    uploadCaptureAudio();
    std::optional<QString> windowName;
    if (const auto app = m_c.workspace.frontmostApplication();
        app && source && app->applicationID == *source && !app->windowTitle.isEmpty())
        windowName = app->windowTitle;
    const std::optional<QByteArray> recording = m_captureRecording;
    const std::optional<qint64> durationMs = m_captureDurationMs;
    ClipboardHistoring &history = m_c.history;
    co_await history.add(text, source, windowName, aiProcessed, recording);
    if (!self || !m_c.quality)
        co_return;
    const auto [category, reason] = m_c.quality->classifyCompleted(text, durationMs);
    if (reason && category != QualityCategory::success)
        reportQuality(category, *reason, durationMs, std::nullopt);
}

// Ends a dictation capture and delivers its text by the first road that fits:
// live text, raw text received while recording, on-device recognition, or the
// recording sent to the cloud.
QCoro::Task<> RecordingPipeline::stopAndTranscribe()
{
    QPointer self(this);
    Stopwatch sw(m_c.scheduler);
    enterProcessing();

    auto capture = co_await m_c.recorder.stopCapture();
    if (!self)
        co_return;
    if (!capture) {
        error(QStringLiteral("Recorder returned no capture"));
        reportQuality(QualityCategory::error, QStringLiteral("audio_unprocessable"), std::nullopt, std::nullopt);
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No speech detected")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
        clearCaptureContext();
        setState(PipelineState::idle);
        co_return;
    }
    sw.mark(QStringLiteral("stop_record"));
    m_captureRecording = capture->recording;
    m_captureDurationMs = capture->durationMs;
    noteRetention(capture->retainRecording, capture->recordingUploadUrl, capture->recordingObjectKey);
    const std::optional<QString> attribution = m_captureBundleID;

    if (capture->liveText && !capture->liveText->isEmpty()) {
        co_await deliverLiveStreamed(*capture->liveText, capture->durationMs, attribution, sw);
    } else if (m_liveRawText && !m_liveRawText->isEmpty()) {
        info(QStringLiteral("⏱ final timed out but raw present → pasting raw (no batch re-transcribe)"));
        co_await deliverLiveStreamed(*m_liveRawText, capture->durationMs, attribution, sw);
    } else if (capture->onDeviceText && !capture->onDeviceText->isEmpty()) {
        co_await deliverOnDevice(*capture->onDeviceText, capture->durationMs, capture->engine, attribution, sw);
    } else if (capture->audio && capture->audio->size() >= kMinimumAudioBytes) {
        co_await runCloudRoad(*capture, sw);
    } else if (capture->audio && !capture->audio->isEmpty()) {
        error(QStringLiteral("Suspiciously short audio (%1 bytes)").arg(capture->audio->size()));
        reportQuality(QualityCategory::error, QStringLiteral("audio_unprocessable"), capture->durationMs,
                      capture->engine);
        m_c.indicator.present(
            IndicatorState::error(QStringLiteral("Microphone returned no audio. Check System Settings → Microphone.")),
            std::nullopt);
    } else {
        error(QStringLiteral("Empty cloud capture"));
        if (capture->liveText || capture->onDeviceText)
            reportQuality(QualityCategory::noSpeech, QStringLiteral("empty_transcript"), capture->durationMs,
                          capture->engine);
        else
            reportQuality(QualityCategory::error, QStringLiteral("audio_unprocessable"), capture->durationMs,
                          capture->engine);
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No speech detected")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
    }
    if (!self)
        co_return;
    clearLiveRawContext();
    clearCaptureContext();
    setState(PipelineState::idle);
}

QCoro::Task<> RecordingPipeline::runCloudRoad(DictationCapture capture, Stopwatch &sw)
{
    QPointer self(this);
    PendingTranscribing &pending = m_c.pending;
    const auto saved =
        co_await pending.save(*capture.audio, capture.durationMs, m_captureBundleID, m_captureRecordingID);
    if (!self)
        co_return;
    std::optional<QUuid> savedID;
    if (saved)
        savedID = saved->id;
    else
        error(QStringLiteral("Pending save failed: %1").arg(saved.error()));
    sw.mark(QStringLiteral("save_pending"));

    const bool cleanup = CleanupSettings::isEnabled(m_c.defaults);
    const bool optimistic = m_c.defaults.boolValue(QStringLiteral("optimistic.paste"), false);
    const auto frontmost = m_c.workspace.frontmostApplicationID();
    const bool excluded = isNoUndoApplication(frontmost);
    bool stream = cleanup && optimistic && !excluded;
    if (cleanup && optimistic && excluded)
        info(QStringLiteral("Streaming disabled for %1 — using single-shot")
                 .arg(frontmost.value_or(QStringLiteral("unknown"))));
    info(QStringLiteral("Cloud transcribe — cleanup=%1 stream=%2")
             .arg(cleanup ? QStringLiteral("on") : QStringLiteral("off"),
                  stream ? QStringLiteral("on") : QStringLiteral("off")));

    TranscriptionRequest request;
    request.audio = *capture.audio;
    request.durationMs = capture.durationMs;
    request.appBundleID = m_captureBundleID;
    request.cleanupEnabled = cleanup;
    request.streamCleanup = stream;
    request.fillerWordsEnabled = FillerWordsSettings::isEnabled(m_c.defaults);
    request.fillerWords = FillerWordsSettings::words(m_c.defaults);
    request.clientRecordingId = m_captureRecordingID;
    sw.mark(QStringLiteral("request_build"));
    if (stream) {
        // The raw-then-cleaned streaming delivery arrives with live streaming;
        // until then the one-piece reply serves.
        info(QStringLiteral("Streaming delivery is not available in this build — using single-shot"));
        request.streamCleanup = false;
    }
    co_await runSingleShotTranscribe(std::move(request), savedID, sw);
}

QCoro::Task<> RecordingPipeline::runSingleShotTranscribe(TranscriptionRequest request, std::optional<QUuid> savedID,
                                                         Stopwatch &sw)
{
    QPointer self(this);
    Transcribing &transcription = m_c.transcription;
    PendingTranscribing &pending = m_c.pending;
    const std::optional<qint64> durationMs = request.durationMs;
    const std::optional<QString> appBundleID = request.appBundleID;
    auto response = co_await transcription.transcribe(std::move(request));
    if (!self)
        co_return;
    if (!response) {
        if (savedID)
            co_await pending.recordFailure(*savedID, response.error().description());
        if (!self)
            co_return;
        handleTranscriptionError(response.error());
        reportQualityFor(response.error(), durationMs, std::nullopt);
        sw.mark(QStringLiteral("network_error"));
        info(sw.summary());
        co_return;
    }
    sw.mark(QStringLiteral("network"));
    noteRetention(response->retainRecording, response->recordingUploadUrl, response->recordingObjectKey);
    if (savedID)
        co_await pending.remove(*savedID);
    if (!self)
        co_return;
    sw.mark(QStringLiteral("remove_pending"));
    co_await deliver(*response, appBundleID, durationMs, sw);
}

QCoro::Task<> RecordingPipeline::deliver(TranscriptionResponse response, std::optional<QString> attributionBundleID,
                                         std::optional<qint64> durationMs, Stopwatch &sw)
{
    QPointer self(this);
    const bool cleanup = CleanupSettings::isEnabled(m_c.defaults);
    QString text = response.text.trimmed();
    if (!cleanup && FillerWordsSettings::isEnabled(m_c.defaults))
        text = FillerWordRemover::remove(text, FillerWordsSettings::words(m_c.defaults));
    if (text.isEmpty()) {
        info(QStringLiteral("Empty transcription — showing 'no speech detected' to user"));
        reportQuality(QualityCategory::noSpeech, QStringLiteral("empty_transcript"), durationMs, response.engine);
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No speech detected")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
        sw.mark(QStringLiteral("empty_result"));
        info(sw.summary());
        co_return;
    }
    const bool pasted = co_await pasteOrPresent(text, std::nullopt);
    if (!self)
        co_return;
    sw.mark(QStringLiteral("paste"));
    co_await addDictationToHistory(text, attributionBundleID, cleanup);
    if (!self)
        co_return;
    sw.mark(QStringLiteral("history_add"));
    if (pasted)
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
    sw.mark(QStringLiteral("indicator_done"));
    info(QStringLiteral("Delivered: %1 chars via %2").arg(text.size()).arg(response.engine));
    info(sw.summary());
    lastDelivery = Delivery{text, pasted, sw.marks()};
}

// Pastes (or shows) the text, remembers it, and says "done" when it was pasted.
QCoro::Task<std::optional<bool>> RecordingPipeline::pasteRememberAndConfirm(QString text, std::optional<QString> target,
                                                                            std::optional<QString> attribution,
                                                                            bool aiProcessed)
{
    QPointer self(this);
    const bool pasted = co_await pasteOrPresent(text, target);
    if (!self)
        co_return std::nullopt;
    co_await addDictationToHistory(text, attribution, aiProcessed);
    if (!self)
        co_return std::nullopt;
    if (pasted)
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
    co_return pasted;
}

QCoro::Task<> RecordingPipeline::deliverOnDevice(QString rawText, std::optional<qint64> durationMs, QString engine,
                                                 std::optional<QString> attributionBundleID, Stopwatch &sw)
{
    QPointer self(this);
    QString text = rawText.trimmed();
    if (text.isEmpty()) {
        reportQuality(QualityCategory::noSpeech, QStringLiteral("empty_transcript"), durationMs, engine);
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No speech detected")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
        sw.mark(QStringLiteral("empty_on_device"));
        info(sw.summary());
        co_return;
    }
    if (FillerWordsSettings::isEnabled(m_c.defaults))
        text = FillerWordRemover::remove(text, FillerWordsSettings::words(m_c.defaults));
    const std::optional<QString> target =
        attributionBundleID ? attributionBundleID : m_c.workspace.frontmostApplicationID();
    sw.mark(QStringLiteral("on_device_stt"));
    info(QStringLiteral("On-device transcript ready (%1 chars) via %2").arg(text.size()).arg(engine));

    QString delivered = text;
    bool pasted = false;
    if (!CleanupSettings::isEnabled(m_c.defaults)) {
        const auto outcome = co_await pasteRememberAndConfirm(text, target, attributionBundleID, false);
        if (!outcome)
            co_return;
        pasted = *outcome;
        sw.mark(QStringLiteral("paste"));
    } else {
        m_c.indicator.present(IndicatorState::processing(), std::nullopt);
        CleanupRequest request;
        request.text = text;
        request.appBundleID = attributionBundleID;
        request.durationMs = durationMs;
        request.fillerWordsEnabled = FillerWordsSettings::isEnabled(m_c.defaults);
        request.fillerWords = FillerWordsSettings::words(m_c.defaults);
        const auto vocabulary = m_c.defaults.stringArray(QStringLiteral("vocabulary.keyterms.active"));
        if (vocabulary && !vocabulary->isEmpty())
            request.vocabulary = *vocabulary;
        request.clientRecordingId = m_captureRecordingID;
        CleanupFormatting &cleaner = m_c.cleanupFormatter;
        const auto cleaned = co_await cleaner.cleanup(std::move(request));
        if (!self)
            co_return;
        if (cleaned) {
            sw.mark(QStringLiteral("cleanup"));
            delivered = cleaned->text;
            const auto outcome =
                co_await pasteRememberAndConfirm(delivered, target, attributionBundleID, cleaned->cleaned);
            if (!outcome)
                co_return;
            pasted = *outcome;
            sw.mark(QStringLiteral("paste_cleaned"));
        } else {
            error(QStringLiteral("Cleanup failed (pasting raw text instead): %1").arg(cleaned.error().description()));
            const auto outcome = co_await pasteRememberAndConfirm(text, target, attributionBundleID, false);
            if (!outcome)
                co_return;
            pasted = *outcome;
            sw.mark(QStringLiteral("cleanup_error_paste_raw"));
        }
    }
    info(sw.summary());
    lastDelivery = Delivery{delivered, pasted, sw.marks()};
}

QCoro::Task<> RecordingPipeline::deliverLiveStreamed(QString text, std::optional<qint64> durationMs,
                                                     std::optional<QString> attributionBundleID, Stopwatch &sw)
{
    // The live road's raw-then-cleaned swap arrives with live streaming; the
    // final live text is delivered as it is.
    QPointer self(this);
    const QString trimmed = text.trimmed();
    sw.mark(QStringLiteral("live_final"));
    if (trimmed.isEmpty()) {
        reportQuality(QualityCategory::noSpeech, QStringLiteral("empty_transcript"), durationMs, std::nullopt);
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No speech detected")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
        co_return;
    }
    const auto pasted = co_await pasteRememberAndConfirm(trimmed, attributionBundleID, attributionBundleID, false);
    if (!pasted)
        co_return;
    sw.mark(QStringLiteral("paste"));
    info(sw.summary());
    lastDelivery = Delivery{trimmed, *pasted, sw.marks()};
}

// Ends an Ask capture. Answering is not part of this build yet: the capture is
// stopped and the pipeline returns to idle.
QCoro::Task<> RecordingPipeline::stopAndAsk()
{
    QPointer self(this);
    m_c.hotkeys.resetAskGesture();
    enterProcessing();

    const auto capture = co_await m_c.recorder.stopCapture();
    if (!self)
        co_return;
    if (!capture) {
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No question heard")), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::discard);
    } else {
        info(QStringLiteral("Ask capture stopped — the assistant is not available in this build"));
        m_c.indicator.hide();
    }
    m_captureBundleID.reset();
    m_captureRecordingID.reset();
    m_capturePurpose = CapturePurpose::dictation;
    clearLiveRawContext();
    setState(PipelineState::idle);
}

// Raw text from a live stream, kept for the stop. Pasting it early arrives
// with live streaming.
QCoro::Task<> RecordingPipeline::handleLiveRaw(QString text)
{
    m_liveRawText = std::move(text);
    co_return;
}

QCoro::Task<> RecordingPipeline::rewriteSelection()
{
    info(QStringLiteral("Selection rewrite is not available in this build"));
    co_return;
}

} // namespace dravelin
