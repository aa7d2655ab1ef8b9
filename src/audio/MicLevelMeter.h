#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"

#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <memory>

namespace dravelin {

class AudioCaptureBackend;
class MicCaptureSession;
class UserDefaults;

// The onboarding microphone check: how loud the microphone is, on the
// recorders' scale, for every captured block. It opens the microphone at most
// once in its life; later starts leave the hardware alone.
class MicLevelMeter : public QObject
{
    Q_OBJECT
public:
    enum class State {
        idle,
        metering,
        denied
    };

    MicLevelMeter(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                  QueueFactory queues = threadQueues(), QObject *parent = nullptr);
    ~MicLevelMeter() override;

    QCoro::Task<> start();
    void stop();

    float level() const { return m_level; }
    State state() const { return m_state; }

Q_SIGNALS:
    void levelChanged(float level);
    void stateChanged();

private:
    AudioCaptureBackend &m_backend;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    QueueFactory m_queues;
    std::unique_ptr<MicCaptureSession> m_capture;
    float m_level = 0;
    State m_state = State::idle;
    bool m_touchedHardware = false;
};

// The microphone settings' live meter: the monitor scale (-60 dBFS … 0),
// published at most 20 times a second.
class MicLevelMonitor : public QObject
{
    Q_OBJECT
public:
    enum class State {
        idle,
        running,
        denied,
        error
    };
    static constexpr Millis publishInterval{50};

    MicLevelMonitor(AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                    QueueFactory queues = threadQueues(), QObject *parent = nullptr);
    ~MicLevelMonitor() override;

    QCoro::Task<> start();
    void stop();

    float level() const { return m_level; }
    State state() const { return m_state; }

Q_SIGNALS:
    void levelChanged(float level);
    void stateChanged();

private:
    void publish(float level);

    AudioCaptureBackend &m_backend;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    QueueFactory m_queues;
    std::unique_ptr<MicCaptureSession> m_capture;
    float m_level = 0;
    State m_state = State::idle;
    std::optional<Millis> m_lastPublish;
    bool m_starting = false;
};

} // namespace dravelin
