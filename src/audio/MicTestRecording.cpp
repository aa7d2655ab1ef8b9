#include "audio/MicTestRecording.h"

#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "audio/Pcm.h"
#include "core/Log.h"
#include "platform/AudioOutput.h"

#include <QPointer>

#include <algorithm>
#include <mutex>

namespace dravelin {

// Written on the capture queue, read on the main thread after the capture
// has stopped.
struct MicTestRecording::Take
{
    std::mutex mutex;
    std::vector<float> samples;
    size_t maxSamples = 0;
};

MicTestRecording::MicTestRecording(AudioCaptureBackend &backend, AudioOutput &output, Scheduler &scheduler,
                                   UserDefaults &defaults, QueueFactory queues, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_output(output)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_queues(std::move(queues))
    , m_speakerQueue(m_queues(QStringLiteral("com.dravelin.mic-test-playback")))
{}

MicTestRecording::~MicTestRecording()
{
    m_stop.request_stop();
    if (m_playback)
        m_playback->stop();
}

void MicTestRecording::setState(State state, QString error)
{
    m_state = state;
    m_error = std::move(error);
    Q_EMIT stateChanged();
}

Millis MicTestRecording::recordedLength() const
{
    if (!m_take)
        return Millis{0};
    return Millis{static_cast<qint64>(m_take->samples.size()) * 1000 / PcmBuffer::kSampleRate};
}

QCoro::Task<> MicTestRecording::record(Millis length)
{
    if (m_state == State::recording)
        co_return;
    stopPlaying();
    QPointer self(this);
    m_stop = std::stop_source();
    const std::stop_token stop = m_stop.get_token();
    auto take = std::make_shared<Take>();
    take->maxSamples = static_cast<size_t>(length.count()) * PcmBuffer::kSampleRate / 1000;
    m_take = take;
    m_peak = 0;
    setState(State::recording);
    auto capture =
        std::make_unique<MicCaptureSession>(QStringLiteral("mic-test"), m_backend, m_scheduler, m_defaults, m_queues);
    Scheduler *scheduler = &m_scheduler;
    MicBufferSink::Callback consume = [self, take, scheduler](PcmBuffer buffer) {
        const float level = MicLevelScale::monitor(buffer.samples.data(), buffer.samples.size());
        {
            const std::lock_guard lock(take->mutex);
            const size_t room = take->maxSamples - std::min(take->maxSamples, take->samples.size());
            const size_t n = std::min(room, buffer.samples.size());
            take->samples.insert(take->samples.end(), buffer.samples.begin(),
                                 buffer.samples.begin() + static_cast<std::ptrdiff_t>(n));
        }
        scheduler->postFromAnyThread([self, level] {
            if (!self || self->m_state != State::recording)
                return;
            self->m_peak = std::max(self->m_peak, level);
            Q_EMIT self->levelChanged(level);
        });
    };
    auto started = co_await capture->start(consume);
    if (!self)
        co_return;
    if (!started) {
        const QString why = started.error() == MicCaptureError::noDevice
                                ? QStringLiteral("No microphone was found. Plug one in or pick another input.")
                                : QStringLiteral("The microphone could not be opened.");
        logs::error(logs::micMonitor(), QStringLiteral("Test recording failed: %1").arg(toString(started.error())));
        setState(State::failed, why);
        co_return;
    }
    logs::info(logs::micMonitor(), QStringLiteral("Test recording started"));
    co_await m_scheduler.sleep(length, stop);
    if (!self)
        co_return;
    co_await capture->stopAfterTail(Millis{0});
    if (!self)
        co_return;
    {
        const std::lock_guard lock(take->mutex);
        logs::info(logs::micMonitor(),
                   QStringLiteral("Test recording finished: %1 ms").arg(take->samples.size() * 1000 / 16000));
    }
    setState(State::recorded);
}

void MicTestRecording::stopRecording()
{
    m_stop.request_stop();
}

QCoro::Task<> MicTestRecording::play()
{
    if (m_state != State::recorded || !m_take)
        co_return;
    std::vector<float> samples;
    {
        const std::lock_guard lock(m_take->mutex);
        samples = m_take->samples;
    }
    setState(State::playing);
    struct Opened
    {
        std::unique_ptr<AudioPlayback> playback;
        QString error;
    };
    AudioOutput *output = &m_output;
    QPointer self(this);
    Scheduler *scheduler = &m_scheduler;
    auto open = [output, samples = std::move(samples), self, scheduler]() -> Opened {
        QString error;
        auto playback = output->load(samples, PcmBuffer::kSampleRate, &error);
        if (!playback)
            return {nullptr, error};
        // Set before it plays: the end of a short take may come at once.
        AudioPlayback *raw = playback.get();
        playback->onFinished = [self, raw, scheduler](bool) {
            scheduler->postFromAnyThread([self, raw] {
                if (self && self->m_playback.get() == raw) {
                    self->m_playback.reset();
                    self->setState(State::recorded);
                }
            });
        };
        if (!playback->play()) {
            playback->stop();
            return {nullptr, error};
        }
        return {std::move(playback), error};
    };
    Opened opened = co_await onQueue(*m_speakerQueue, m_scheduler, std::move(open));
    if (!self || m_state != State::playing) { // stopped or re-recorded meanwhile
        if (opened.playback)
            opened.playback->stop();
        co_return;
    }
    if (!opened.playback) {
        setState(State::recorded,
                 opened.error.isEmpty() ? QStringLiteral("The speakers could not be opened.") : opened.error);
        co_return;
    }
    m_playback = std::move(opened.playback);
}

void MicTestRecording::stopPlaying()
{
    if (m_state != State::playing)
        return;
    if (m_playback)
        m_playback->stop();
    m_playback.reset();
    setState(State::recorded);
}

} // namespace dravelin
