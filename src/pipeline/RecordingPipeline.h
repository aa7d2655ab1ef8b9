#pragma once

#include "audio/DictationCapture.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"
#include "pipeline/PipelineServices.h"
#include "pipeline/PipelineState.h"

#include <QObject>
#include <QPointer>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace dravelin {

class Authenticating;
class CleanupFormatting;
class ClipboardHistoring;
class DictationCapturing;
class HotkeyHandling;
class IndicatorPresenting;
class Pasting;
class RecordingUploading;
class Stopwatch;
struct TranscriptionRequest;
struct TranscriptionResponse;
struct BackendError;
class SoundFeedback;
class Transcribing;
class UserDefaults;
class Workspace;

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
    struct Collaborators
    {
        DictationCapturing &recorder;
        Transcribing &transcription;
        CleanupFormatting &cleanupFormatter;
        Pasting &paste;
        ClipboardHistoring &history;
        IndicatorPresenting &indicator;
        Authenticating &auth;
        HotkeyHandling &hotkeys;
        SoundFeedback &sounds;
        Workspace &workspace;
        UserDefaults &defaults;
        Scheduler &scheduler; // must outlive the pipeline and its tasks
        PendingTranscribing &pending;
        RecordingUploading *uploader = nullptr; // none: recordings are never uploaded
        QualityReporting *quality = nullptr;    // none: no quality reports
    };

    // Terminals, where the raw text cannot be swapped for the cleaned one
    // afterwards (selecting back over it does not work there).
    static bool isNoUndoApplication(const std::optional<QString> &applicationID);
    // Below this many bytes a recording cannot hold audio.
    static constexpr int kMinimumAudioBytes = 200;

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

    QCoro::Task<> handleTogglePress();
    QCoro::Task<> handleToggleRelease();
    // Start if idle, stop if recording, whatever the mode.
    QCoro::Task<> toggleRecord();
    QCoro::Task<> cancelRecord();
    // Re-inserts the newest history entry.
    QCoro::Task<> privatePaste();
    QCoro::Task<> beginAsk();
    QCoro::Task<> submitAsk();

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
    struct Delivery
    {
        QString text;
        bool pasted = false;
        std::vector<std::pair<QString, int>> marks; // the stopwatch
    };
    std::optional<Delivery> lastDelivery;

Q_SIGNALS:
    void stateChanged(dravelin::PipelineState state);

private:
    QCoro::Task<> start();
    QCoro::Task<> requestStop();
    QCoro::Task<> requestDiscard();
    QCoro::Task<> discard();
    QCoro::Task<> stopForNoSpeech();
    QCoro::Task<> stopAndTranscribe();
    QCoro::Task<> runCloudRoad(DictationCapture capture, Stopwatch &sw);
    QCoro::Task<> runSingleShotTranscribe(TranscriptionRequest request, std::optional<QUuid> savedID, Stopwatch &sw);
    QCoro::Task<> deliver(TranscriptionResponse response, std::optional<QString> attributionBundleID,
                          std::optional<qint64> durationMs, Stopwatch &sw);
    QCoro::Task<> deliverOnDevice(QString text, std::optional<qint64> durationMs, QString engine,
                                  std::optional<QString> attributionBundleID, Stopwatch &sw);
    QCoro::Task<> deliverLiveStreamed(QString text, std::optional<qint64> durationMs,
                                      std::optional<QString> attributionBundleID, Stopwatch &sw);
    QCoro::Task<bool> pasteOrPresent(QString text, std::optional<QString> targetBundleID);
    // Nothing when the pipeline went away meanwhile; otherwise whether it was pasted.
    QCoro::Task<std::optional<bool>> pasteRememberAndConfirm(QString text, std::optional<QString> target,
                                                             std::optional<QString> attribution, bool aiProcessed);
    QCoro::Task<> addDictationToHistory(QString text, std::optional<QString> source, bool aiProcessed);
    void uploadCaptureAudio();
    void noteRetention(bool retain, const std::optional<QString> &uploadURL, const std::optional<QString> &objectKey);
    void reportQuality(QualityCategory category, QString reason, std::optional<qint64> durationMs,
                       std::optional<QString> engine);
    void reportQualityFor(const BackendError &error, std::optional<qint64> durationMs, std::optional<QString> engine);
    void handleTranscriptionError(const BackendError &error);
    void clearCaptureContext();
    QCoro::Task<> stopAndAsk();
    QCoro::Task<> handleLiveRaw(QString text);
    QCoro::Task<> rewriteSelection();
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

    PipelineState m_state = PipelineState::idle;
    HoldSubState m_holdSubState = HoldSubState::idle;
    bool m_promotedPress = false;
    std::optional<Millis> m_pressStartTime;
    CancellableSlot m_tapDecisionTask;
    bool m_isStarting = false;
    std::optional<PendingStartAction> m_pendingStartAction;
    CapturePurpose m_capturePurpose = CapturePurpose::dictation;

    // Capture context, filled at start and cleared after each capture.
    std::optional<QString> m_captureBundleID;
    std::optional<QUuid> m_captureRecordingID;
    std::optional<QByteArray> m_captureRecording;
    std::optional<qint64> m_captureDurationMs;
    bool m_captureRetainRecording = false;
    std::optional<QString> m_captureUploadURL;
    std::optional<QString> m_captureObjectKey;

    // Raw text reported by a live stream during the capture.
    std::optional<QString> m_liveRawText;
    std::optional<QString> m_liveRawTarget;
    bool m_liveRawPasted = false;
    CancellableSlot m_liveRawPasteTask;

    CancellableSlot m_noSpeechTask;
};

} // namespace dravelin
