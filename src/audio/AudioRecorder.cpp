#include "audio/AudioRecorder.h"

#include "audio/AACFileWriter.h"
#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "core/Log.h"
#include "core/SerialQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <chrono>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::audioRecorder(), message);
}

void error(const QString &message)
{
    logs::error(logs::audioRecorder(), message);
}

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

QString toString(AudioRecorderState state)
{
    switch (state) {
    case AudioRecorderState::idle:
        return QStringLiteral("idle");
    case AudioRecorderState::recording:
        return QStringLiteral("recording");
    case AudioRecorderState::denied:
        return QStringLiteral("denied");
    case AudioRecorderState::error:
        return QStringLiteral("error");
    }
    return {};
}

AudioRecorder::AudioRecorder(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                             QueueFactory queues, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_queues(std::move(queues))
{}

AudioRecorder::~AudioRecorder()
{
    m_autoStopTask.cancel();
    tearDown();
    if (!m_path.isEmpty())
        QFile::remove(m_path);
}

QString AudioRecorder::deviceName() const
{
    return m_capture ? m_capture->activeDeviceName() : QStringLiteral("unknown");
}

void AudioRecorder::setState(AudioRecorderState state, QString message)
{
    m_state = state;
    m_errorMessage = std::move(message);
    Q_EMIT stateChanged();
}

void AudioRecorder::setLevel(float level)
{
    m_currentLevel = level;
    Q_EMIT levelChanged(level);
}

QCoro::Task<Expected<void, AudioRecorderError>> AudioRecorder::start()
{
    using Result = Expected<void, AudioRecorderError>;
    QPointer self(this);
    if (m_state == AudioRecorderState::recording) {
        info(QStringLiteral("start() called while not idle (state: %1)").arg(toString(m_state)));
        co_return Result{};
    }

    // A fresh capture session per recording.
    auto capture = std::make_unique<MicCaptureSession>(QStringLiteral("batch-recorder"), m_backend, m_scheduler,
                                                       m_defaults, m_queues);
    const MicAuthorization authorization = co_await queryAuthorization(m_backend, m_scheduler, m_queues);
    if (!self)
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed, {}}};
    info(QStringLiteral("Mic auth status before record: %1").arg(toString(authorization)));
    if (authorization == MicAuthorization::denied) {
        info(QStringLiteral("Mic permission previously denied"));
        setState(AudioRecorderState::denied);
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::permissionDenied, {}}};
    }

    const QString path = QDir::tempPath() + QStringLiteral("/dravelin-") +
                         QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".m4a");
    auto created = AACFileWriter::create(path);
    if (!created) {
        QFile::remove(path);
        error(QStringLiteral("Failed to start recorder: %1").arg(created.error()));
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::prepareFailed, created.error()}};
    }
    std::shared_ptr<AACFileWriter> writer = std::move(created.value());

    // On the capture queue: encode, and publish about 30 levels a second.
    auto throttle = std::make_shared<LevelThrottle>(1.0 / 30.0);
    Scheduler *scheduler = &m_scheduler;
    MicBufferSink::Callback consume = [writer, throttle, scheduler, self](PcmBuffer buffer) {
        if (auto failure = writer->append(buffer)) {
            scheduler->postFromAnyThread([self, message = *failure] {
                if (self)
                    self->encodeFailed(message);
            });
        }
        if (throttle->shouldPublish(steadySeconds())) {
            const float level = MicLevelScale::normalized(buffer);
            scheduler->postFromAnyThread([self, level] {
                if (self && self->m_state == AudioRecorderState::recording)
                    self->setLevel(level);
            });
        }
    };
    auto started = co_await capture->start(consume);
    if (!self)
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed, {}}};
    if (!started) {
        capture->stop();
        writer->finish();
        QFile::remove(path);
        const QString reason = toString(started.error());
        error(QStringLiteral("Failed to start recorder: %1").arg(reason));
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed, reason}};
    }

    m_capture = std::move(capture);
    m_writer = std::move(writer);
    m_path = path;
    m_startedAt = m_scheduler.monotonicNow();
    setState(AudioRecorderState::recording);
    info(QStringLiteral("Recording started → %1 on '%2' (%3, level ~30 Hz)")
             .arg(QFileInfo(path).fileName(), started->name, m_writer->formatDescription()));
    m_tasks.track(autoStop(self, m_autoStopTask.renew(), m_scheduler));
    co_return Result{};
}

QCoro::Task<> AudioRecorder::autoStop(QPointer<AudioRecorder> weak, std::stop_token token, Scheduler &scheduler)
{
    const bool elapsed = co_await scheduler.sleep(maxDuration, token);
    if (!elapsed || !weak || weak->m_state != AudioRecorderState::recording)
        co_return;
    info(QStringLiteral("Auto-stop fired (%1s cap)")
             .arg(std::chrono::duration_cast<std::chrono::seconds>(maxDuration).count()));
    if (weak->onAutoStop)
        weak->onAutoStop();
}

void AudioRecorder::encodeFailed(const QString &message)
{
    if (m_state != AudioRecorderState::recording)
        return;
    error(QStringLiteral("Encode error: %1").arg(message));
    m_autoStopTask.cancel();
    tearDown();
    QFile::remove(m_path);
    m_path.clear();
    setState(AudioRecorderState::error, message);
}

void AudioRecorder::tearDown()
{
    if (m_capture)
        m_capture->stop();
    if (m_writer)
        m_writer->finish();
    // The session is destroyed last: it finishes its queue first.
    m_capture.reset();
    m_writer.reset();
    m_startedAt.reset();
    setLevel(0);
}

QCoro::Task<std::optional<QByteArray>> AudioRecorder::stop()
{
    QPointer self(this);
    if (m_state != AudioRecorderState::recording || m_path.isEmpty() || !m_startedAt || m_stoppingPath == m_path) {
        info(QStringLiteral("stop() called when not recording (or already stopping)"));
        co_return std::nullopt;
    }
    const QString path = m_path;
    m_stoppingPath = path;
    m_autoStopTask.cancel();
    co_await m_capture->stopAfterTail(stopTail);
    if (!self)
        co_return std::nullopt;
    if (m_stoppingPath == path)
        m_stoppingPath.clear();
    if (m_path != path || !m_startedAt) {
        info(QStringLiteral("Recording ended during the stop tail — no audio to return"));
        co_return std::nullopt;
    }
    m_lastDurationMs = (m_scheduler.monotonicNow() - *m_startedAt).count();
    const std::optional<QString> failure = m_writer ? m_writer->finish() : std::nullopt;
    tearDown();
    std::optional<QByteArray> bytes;
    QFile file(path);
    if (!failure && file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    file.close();
    QFile::remove(path);
    m_path.clear();
    if (failure)
        error(QStringLiteral("Encode error: %1").arg(*failure));
    info(QStringLiteral("Recording stopped: %1 bytes, %2 ms").arg(bytes ? bytes->size() : 0).arg(*m_lastDurationMs));
    setState(AudioRecorderState::idle);
    co_return bytes;
}

QCoro::Task<> AudioRecorder::cancel()
{
    m_autoStopTask.cancel();
    tearDown();
    if (!m_path.isEmpty())
        QFile::remove(m_path);
    m_path.clear();
    setState(AudioRecorderState::idle);
    info(QStringLiteral("Recording cancelled (audio discarded)"));
    co_return;
}

} // namespace dravelin
