#pragma once

#include "audio/AudioRecorderError.h"
#include "core/Expected.h"
#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "core/Tasks.h"

#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace dravelin {

class AACFileWriter;
class AudioCaptureBackend;
class MicCaptureSession;
class UserDefaults;

enum class AudioRecorderState {
    idle,
    recording,
    denied,
    error
};

// The batch engine: records the microphone into an AAC (.m4a) file, which
// stop() hands over for single-shot transcription. Stops itself after
// maxDuration through onAutoStop.
class AudioRecorder : public QObject
{
    Q_OBJECT
public:
    static constexpr Millis maxDuration{180000};
    static constexpr Millis stopTail{150};

    AudioRecorder(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                  QueueFactory queues = threadQueues(), QObject *parent = nullptr);
    ~AudioRecorder() override;

    QCoro::Task<Expected<void, AudioRecorderError>> start();
    // The .m4a bytes, or nothing when not recording (or ended meanwhile).
    QCoro::Task<std::optional<QByteArray>> stop();
    QCoro::Task<> cancel();

    AudioRecorderState state() const { return m_state; }
    QString errorMessage() const { return m_errorMessage; }
    float currentLevel() const { return m_currentLevel; }
    std::optional<qint64> lastDurationMs() const { return m_lastDurationMs; }
    QString deviceName() const;

    // Called when a recording reaches maxDuration.
    std::function<void()> onAutoStop;

    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void stateChanged();
    void levelChanged(float level);

private:
    void setState(AudioRecorderState state, QString message = {});
    void setLevel(float level);
    void encodeFailed(const QString &message);
    void tearDown();
    static QCoro::Task<> autoStop(QPointer<AudioRecorder> weak, std::stop_token token, Scheduler &scheduler);

    AudioCaptureBackend &m_backend;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    QueueFactory m_queues;
    TaskTracker m_tasks;
    AudioRecorderState m_state = AudioRecorderState::idle;
    QString m_errorMessage;
    float m_currentLevel = 0;
    std::unique_ptr<MicCaptureSession> m_capture;
    std::shared_ptr<AACFileWriter> m_writer;
    QString m_path;
    std::optional<Millis> m_startedAt;
    std::optional<qint64> m_lastDurationMs;
    QString m_stoppingPath;
    CancellableSlot m_autoStopTask;
};

QString toString(AudioRecorderState state);

} // namespace dravelin
