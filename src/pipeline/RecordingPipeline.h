#pragma once

#include "audio/DictationCapture.h"
#include "core/AsyncEvent.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"
#include "pipeline/DictationDelivery.h"
#include "pipeline/PipelineCollaborators.h"
#include "pipeline/PipelineServices.h"
#include "pipeline/PipelineState.h"
#include "platform/AppControl.h"
#include "text/RewriteService.h"

#include <QObject>
#include <QPointer>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace dravelin {

class AskFlow;
class SelectionRewriteFlow;
class Stopwatch;

// Turns hotkey events into recording sessions: the two recording modes of the
// record hotkey, starting and stopping capture, requests deferred while the
// recorder starts, cancel and discard, the no-speech watchdog and private paste.
//
// Main-thread only. Every entry point is a coroutine; entry points interleave
// only where they wait, and the state guards (state, isStarting, the deferred
// start action) keep them apart.
class RecordingPipeline : public QObject
{
    Q_OBJECT
public:
    using Collaborators = PipelineCollaborators;

    // Terminals, where the raw text cannot be swapped for the cleaned one
    // afterwards (selecting back over it does not work there).
    static bool isNoUndoApplication(const std::optional<QString> &applicationID);

    // Fixed tuning.
    static constexpr Millis holdThreshold{200};
    static constexpr Millis doubleTapWindow{400};
    static constexpr Millis noSpeechTimeout{10000};
    static constexpr float loudAudioVetoLevel = 0.35f;
    static constexpr int loudAudioVetoSamples = 4;
    static constexpr Millis noSpeechPollInterval{150};

    explicit RecordingPipeline(Collaborators collaborators, QObject *parent = nullptr);
    ~RecordingPipeline() override;

    // Installs the hotkey callbacks and registers the hotkeys. Called once.
    void wireUp();
    // The same actions for another program to call: toggle as the record
    // hotkey in toggle mode, cancel, private paste and rewrite as their
    // hotkeys, start and stop only from idle and only while recording.
    AppControlActions controlActions();

    QCoro::Task<> handleTogglePress();
    QCoro::Task<> handleToggleRelease();
    // Start if idle, stop if recording, whatever the mode.
    QCoro::Task<> toggleRecord();
    QCoro::Task<> cancelRecord();
    // Re-inserts the newest history entry.
    QCoro::Task<> privatePaste();
    QCoro::Task<> beginAsk();
    QCoro::Task<> submitAsk();
    // Rewrites the text selected in the focused application, in a style or
    // by one of the transforms, and pastes the result over it.
    QCoro::Task<> rewriteSelection(RewriteStyle style = RewriteStyle::natural);
    QCoro::Task<> runTransform(QUuid id);

    // Called at the very beginning of every start (the container stops
    // playback of saved recordings here).
    std::function<void()> onRecordingWillStart;

    PipelineState state() const { return m_state; }
    HoldSubState holdSubState() const { return m_holdSubState; }
    bool isStarting() const { return m_isStarting; }
    std::optional<PendingStartAction> pendingStartAction() const { return m_pendingStartAction; }
    CapturePurpose capturePurpose() const { return m_capturePurpose; }
    const std::optional<QString> &captureBundleID() const { return m_captureBundleID; }
    const std::optional<QUuid> &captureRecordingID() const { return m_captureRecordingID; }
    std::optional<QString> liveRawText() const { return m_liveRawText; }

    TaskTracker &taskTracker() { return m_tasks; }

    // The last text the pipeline delivered, for the command line and tests.
    using Delivery = DictationDelivery::Delivery;
    const std::optional<Delivery> &lastDelivery() const { return m_delivery->lastDelivery; }
    // Whether the last dictation ran into the recorder's length cap and was
    // stopped there rather than by the user.
    bool stoppedAtLengthCap() const { return m_stoppedAtLengthCap; }
    // Re-submits the recordings in the retry queue, oldest first.
    QCoro::Task<> retryAllPending();

Q_SIGNALS:
    void stateChanged(dravelin::PipelineState state);

private:
    QCoro::Task<> start();
    QCoro::Task<> startFromIdle();
    QCoro::Task<> stopIfRecording();
    QCoro::Task<> requestStop();
    QCoro::Task<> requestDiscard();
    QCoro::Task<> discard();
    QCoro::Task<> stopForNoSpeech();
    QCoro::Task<> stopAndTranscribe();
    void clearCaptureContext();
    QCoro::Task<> stopAndAsk();
    QCoro::Task<> runSelectionRewrite(QString label,
                                      std::function<QCoro::Task<Expected<QString, RewriteError>>(QString)> provider);
    void refuseWithError(const QString &logLine, const QString &message);
    QCoro::Task<> handleLiveRaw(QString text, std::shared_ptr<AsyncEvent> previous, std::shared_ptr<AsyncEvent> done);
    QCoro::Task<> optimisticallyPasteLiveRaw(QString text);
    void enterProcessing();
    void armTapDecision();
    void resetHoldGesture();
    void armNoSpeechWatchdog();
    void setState(PipelineState state);
    void clearLiveRawContext();
    bool isSignedIn() const;

    static QCoro::Task<> tapDecision(QPointer<RecordingPipeline> weak, std::stop_token token, Scheduler &scheduler);
    static QCoro::Task<> noSpeechWatchdog(QPointer<RecordingPipeline> weak, std::stop_token token,
                                          Scheduler &scheduler);

    Collaborators m_c;
    TaskTracker m_tasks;
    DictationDelivery *m_delivery = nullptr;     // a child
    AskFlow *m_ask = nullptr;                    // a child
    SelectionRewriteFlow *m_selection = nullptr; // a child

    PipelineState m_state = PipelineState::idle;
    HoldSubState m_holdSubState = HoldSubState::idle;
    bool m_promotedPress = false;
    std::optional<Millis> m_pressStartTime;
    CancellableSlot m_tapDecisionTask;
    bool m_isStarting = false;
    bool m_stoppedAtLengthCap = false;
    std::optional<PendingStartAction> m_pendingStartAction;
    CapturePurpose m_capturePurpose = CapturePurpose::dictation;

    // Capture context, filled at start and cleared after each capture.
    std::optional<QString> m_captureBundleID;
    std::optional<QUuid> m_captureRecordingID;

    // Raw text reported by a live stream during the capture.
    std::optional<QString> m_liveRawText;
    std::optional<QString> m_liveRawTarget;
    bool m_liveRawPasted = false;
    std::optional<Millis> m_liveRawPastedAt;
    // Set once the latest raw text has been handled (pasted or held).
    std::shared_ptr<AsyncEvent> m_liveRawHandled;

    CancellableSlot m_noSpeechTask;
};

} // namespace dravelin
