#include "audio/MicLevelMeter.h"

#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "core/Log.h"

namespace dravelin {

// ---- MicLevelMeter ----------------------------------------------------------

MicLevelMeter::MicLevelMeter(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                             QueueFactory queues, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_queues(std::move(queues))
{}

MicLevelMeter::~MicLevelMeter() = default;

QCoro::Task<> MicLevelMeter::start()
{
    if (m_state == State::metering)
        co_return;
    QPointer self(this);
    const MicAuthorization authorization = co_await queryAuthorization(m_backend, m_scheduler, m_queues);
    if (!self)
        co_return;
    logs::info(logs::micMeter(), QStringLiteral("Mic auth status before metering: %1").arg(toString(authorization)));
    if (authorization == MicAuthorization::denied) {
        logs::info(logs::micMeter(), QStringLiteral("Mic permission previously denied"));
        m_state = State::denied;
        Q_EMIT stateChanged();
        co_return;
    }
    if (m_touchedHardware) {
        logs::info(logs::micMeter(),
                   QStringLiteral("Metering already started once this launch; not touching hardware again"));
        co_return;
    }
    m_touchedHardware = true;
    m_capture =
        std::make_unique<MicCaptureSession>(QStringLiteral("mic-meter"), m_backend, m_scheduler, m_defaults, m_queues);
    MicBufferSink::Callback consume = [self, scheduler = &m_scheduler](PcmBuffer buffer) {
        const float level = MicLevelScale::normalized(buffer);
        scheduler->postFromAnyThread([self, level] {
            if (self && self->m_state == State::metering) {
                self->m_level = level;
                Q_EMIT self->levelChanged(level);
            }
        });
    };
    auto started = co_await m_capture->start(consume);
    if (!self)
        co_return;
    if (!started) {
        logs::error(logs::micMeter(), QStringLiteral("Failed to start capture: %1").arg(toString(started.error())));
        co_return;
    }
    m_state = State::metering;
    Q_EMIT stateChanged();
    logs::info(logs::micMeter(), QStringLiteral("Mic metering started on '%1'").arg(started->name));
}

void MicLevelMeter::stop()
{
    if (m_capture)
        m_capture->stop();
    m_capture.reset();
    m_level = 0;
    Q_EMIT levelChanged(0);
    m_state = State::idle;
    Q_EMIT stateChanged();
    logs::info(logs::micMeter(), QStringLiteral("Mic metering stopped"));
}

// ---- MicLevelMonitor --------------------------------------------------------

MicLevelMonitor::MicLevelMonitor(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                                 QueueFactory queues, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_queues(std::move(queues))
{}

MicLevelMonitor::~MicLevelMonitor() = default;

QCoro::Task<> MicLevelMonitor::start()
{
    if (m_state == State::running || m_starting)
        co_return;
    QPointer self(this);
    m_starting = true;
    auto capture = std::make_unique<MicCaptureSession>(QStringLiteral("mic-monitor"), m_backend, m_scheduler,
                                                       m_defaults, m_queues);
    MicBufferSink::Callback consume = [self, scheduler = &m_scheduler](PcmBuffer buffer) {
        const float level = MicLevelScale::monitor(buffer.samples.data(), buffer.samples.size());
        scheduler->postFromAnyThread([self, level] {
            if (self)
                self->publish(level);
        });
    };
    auto started = co_await capture->start(consume);
    if (!self)
        co_return;
    m_starting = false;
    if (!started) {
        if (started.error() == MicCaptureError::noDevice) {
            logs::error(logs::micMonitor(), QStringLiteral("No audio capture device available"));
            m_state = State::error;
        } else {
            logs::error(logs::micMonitor(), QStringLiteral("Session setup failed: %1").arg(toString(started.error())));
            const MicAuthorization authorization = co_await queryAuthorization(m_backend, m_scheduler, m_queues);
            if (!self)
                co_return;
            m_state = authorization == MicAuthorization::denied ? State::denied : State::error;
        }
        Q_EMIT stateChanged();
        co_return;
    }
    m_capture = std::move(capture);
    m_lastPublish.reset();
    m_state = State::running;
    Q_EMIT stateChanged();
    logs::info(logs::micMonitor(), QStringLiteral("Capture session started"));
}

void MicLevelMonitor::publish(float level)
{
    if (m_state != State::running)
        return;
    const Millis now = m_scheduler.monotonicNow();
    if (m_lastPublish && now - *m_lastPublish < publishInterval)
        return;
    m_lastPublish = now;
    m_level = level;
    Q_EMIT levelChanged(level);
}

void MicLevelMonitor::stop()
{
    if (m_capture)
        m_capture->stop();
    m_capture.reset();
    m_level = 0;
    Q_EMIT levelChanged(0);
    m_state = State::idle;
    Q_EMIT stateChanged();
    logs::info(logs::micMonitor(), QStringLiteral("Capture session stopped"));
}

} // namespace dravelin
