#pragma once

#include "audio/LiveTranscribing.h"
#include "audio/Pcm.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <deque>
#include <memory>
#include <mutex>

namespace dravelin {

class MicCaptureSession;
class TokenSource;
class UserDefaults;

// The frames waiting for the live socket: the newest `capacity` are kept and
// the oldest dropped to make room, so memory stays fixed while the socket
// connects or when it stops draining. Pushed from the capture queue, taken on
// the main thread.
class LiveFrameQueue
{
public:
    static constexpr size_t kCapacity = 256;

    explicit LiveFrameQueue(size_t capacity = kCapacity) : m_capacity(capacity) {}

    // Any thread. Ignored once the queue is finished.
    void push(QByteArray frame);
    // Every frame queued so far, oldest first.
    std::deque<QByteArray> takeAll();
    // Ends the queue: later pushes are ignored.
    void finish();
    quint64 dropped() const;

private:
    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::deque<QByteArray> m_frames;
    quint64 m_dropped = 0;
    bool m_finished = false;
};

// Live streaming dictation, the capture side: records the microphone into a
// bounded queue pumped into a live transcription session and into a complete
// PCM copy for the upload fallback. Recording starts at once while the socket
// connects in the background; at the end the capture decides from what the
// session delivered whether the text is final, already with the pipeline as
// raw text, empty (no speech), or must be transcribed from a WAV by upload.
//
// One capture serves one dictation. Main-thread only, except the buffer
// callback, which touches only the PCM copy and the frame queue.
class LiveDictationCapture final : public QObject
{
    Q_OBJECT
public:
    using ClientFactory =
        std::function<std::unique_ptr<LiveTranscribing>(const QUrl &endpoint, const QStringList &vocabulary)>;

    // Where and how live sessions are opened; the service container builds it.
    struct Config
    {
        QUrl endpoint; // ws(s)://…/transcribe-stream
        TokenSource *tokens = nullptr;
        ClientFactory makeClient;
        // The filler words sent to the server (empty while removal is off).
        // Their settings belong to text processing, above this library.
        std::function<QStringList()> fillerWords;
    };

    struct Callbacks
    {
        std::function<void(float)> onLevel; // every buffer, 0…1
        std::function<void(QString)> onRaw; // raw live text
        std::function<void()> onSpeech;     // the socket confirmed speech
    };

    struct Result
    {
        std::optional<QString> text;           // final text; "" means no speech
        std::optional<QByteArray> wavFallback; // WAV to transcribe by upload
        bool rawInHand = false;                // the pipeline already has the raw text: no upload
        std::optional<QByteArray> recording;   // WAV kept with the history entry
        bool retainRecording = false;
        std::optional<QString> recordingUploadUrl;
        std::optional<QString> recordingObjectKey;

        bool operator==(const Result &) const = default;
    };

    static constexpr const char *kVocabularyKey = "vocabulary.keyterms.active";
    static constexpr const char *kCleanupKey = "cleanup.enabled";
    static constexpr Millis stopTail{150};

    LiveDictationCapture(Config config, Scheduler &scheduler, UserDefaults &defaults, QObject *parent = nullptr);
    ~LiveDictationCapture() override;

    // Starts `session` (the caller's, left running until finish or cancel)
    // and begins connecting. Fails with startFailed only when the microphone
    // cannot start; a socket that cannot connect leaves the upload fallback.
    QCoro::Task<Expected<void, LiveTranscriptionError>> start(MicCaptureSession &session,
                                                              std::optional<QString> appBundleID,
                                                              std::optional<QUuid> clientRecordingId,
                                                              Callbacks callbacks);
    // Stops after the tail, finalizes the session (waiting at most `timeout`)
    // and resolves what the dictation delivers.
    QCoro::Task<Result> finish(Millis timeout);
    // Stops at once and throws everything away.
    void cancel();

    bool isRunning() const { return m_running; }
    // Whether a session is connected and taking frames.
    bool isStreaming() const { return m_client != nullptr; }
    TaskTracker &taskTracker() { return m_tasks; }

private:
    QCoro::Task<> connectSession(LiveSessionOptions options);
    void pumpFrames();
    void cancelConnect();
    std::optional<QByteArray> wav() const;
    void endCapture();

    Config m_config;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    TaskTracker m_tasks;
    QPointer<MicCaptureSession> m_capture;
    std::unique_ptr<LiveTranscribing> m_client;
    LiveTranscribing *m_connecting = nullptr; // the session being started, owned by connectSession
    std::shared_ptr<PCMSink> m_sink;
    std::shared_ptr<LiveFrameQueue> m_frames;
    Callbacks m_callbacks;
    bool m_running = false;
    quint64 m_generation = 0;   // one per start and cancel: stale buffers and stops do nothing
    quint64 m_connectEpoch = 0; // one per connection attempt and its cancellation
    Millis m_startedAt{0};
};

} // namespace dravelin
