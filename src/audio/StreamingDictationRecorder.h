#pragma once

#include "audio/DictationCapturing.h"
#include "audio/LiveDictationCapture.h"
#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "core/Tasks.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace dravelin {

class AudioCaptureBackend;
class AudioRecorder;
class MicCaptureSession;
class PCMSink;
class SpeechRecognitionSession;
class SpeechRecognizer;
struct SpeechResult;
class UserDefaults;

// The recorder the dictation pipeline talks to. At every start it picks one
// engine: on-device recognition (when the user prefers it and a recogniser
// is installed) or the batch recorder, whose .m4a goes to single-shot
// transcription. It publishes the live level and whether speech was heard,
// and on stop hands over one DictationCapture.
class StreamingDictationRecorder final : public QObject, public DictationCapturing
{
    Q_OBJECT
public:
    static constexpr const char *kLiveStreamingKey = "stt.liveStreaming";
    static constexpr const char *kPreferCloudKey = "stt.preferCloud";
    // The Whisper model recognising on this machine, by name ("base").
    static constexpr const char *kModelKey = "stt.model";
    // The language the user speaks: a two-letter code, or "auto" to detect it;
    // unset, the desktop's language.
    static constexpr const char *kLanguageKey = "stt.language";
    static QString spokenLanguage(const UserDefaults &defaults);
    static constexpr Millis stopTail{150};
    static constexpr Millis finalResultWait{800};
    // How long a live session may take to send its final text after the stop.
    static constexpr Millis liveFinishTimeout{4500};

    StreamingDictationRecorder(AudioCaptureBackend &backend, SpeechRecognizer *recognizer, Scheduler &scheduler,
                               UserDefaults &defaults, QueueFactory queues = threadQueues(), QObject *parent = nullptr);
    ~StreamingDictationRecorder() override;

    QCoro::Task<Expected<void, AudioRecorderError>> start(std::optional<QString> appBundleID,
                                                          QUuid clientRecordingId) override;
    QCoro::Task<std::optional<DictationCapture>> stopCapture() override;
    QCoro::Task<> cancel() override;
    bool heardSpeech() const override { return m_heardSpeech; }
    float currentLevel() const override;
    bool isStreamingRecorder() const override { return true; }
    void setOnAutoStop(std::function<void()> callback) override;
    void setOnLiveRaw(std::function<void(QString)> callback) override { m_onLiveRaw = std::move(callback); }
    QCoro::Task<> prewarm() override;

    // Where live streaming sessions go; none: dictations never stream (the
    // command line's own tools, tests).
    void setLiveStreaming(std::optional<LiveDictationCapture::Config> config) { m_liveConfig = std::move(config); }
    bool usingLive() const { return m_live != nullptr; }

    bool isRecording() const { return m_recording; }
    bool usingOnDevice() const { return m_usingOnDevice; }
    AudioRecorder &fallbackRecorder() { return *m_fallback; }
    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void levelChanged(float level);

private:
    QCoro::Task<Expected<void, AudioRecorderError>> startOnDevice();
    QCoro::Task<std::optional<DictationCapture>> stopOnDevice();
    QCoro::Task<Expected<void, LiveTranscriptionError>> startLive(std::optional<QString> appBundleID,
                                                                  QUuid clientRecordingId);
    QCoro::Task<std::optional<DictationCapture>> stopLive();
    bool liveAllowed() const;
    void onRecognition(const SpeechResult &result);
    void tearDownOnDevice();
    bool onDeviceAllowed();
    static QCoro::Task<> autoStop(QPointer<StreamingDictationRecorder> weak, std::stop_token token,
                                  Scheduler &scheduler);

    AudioCaptureBackend &m_backend;
    SpeechRecognizer *m_recognizer;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    TaskTracker m_tasks;
    std::unique_ptr<MicCaptureSession> m_micSession;
    std::unique_ptr<AudioRecorder> m_fallback;
    std::function<void(QString)> m_onLiveRaw;

    bool m_starting = false;
    bool m_recording = false;
    bool m_usingOnDevice = false;
    bool m_heardSpeech = false;
    float m_level = 0;
    std::optional<Millis> m_startedAt;
    std::shared_ptr<SpeechRecognitionSession> m_speech; // shared with in-flight deliveries
    std::shared_ptr<PCMSink> m_onDeviceRecording;
    QString m_latestPartialText;
    bool m_finalReceived = false;
    std::optional<std::stop_source> m_finalWait;
    CancellableSlot m_autoStopTask;

    std::optional<LiveDictationCapture::Config> m_liveConfig;
    std::unique_ptr<LiveDictationCapture> m_live;
    Millis m_liveStartedAt{0};
};

} // namespace dravelin
