#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "core/Tasks.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <stop_token>
#include <vector>

namespace dravelin {

class AudioCaptureBackend;
class AudioOutput;
class AudioPlayback;
class UserDefaults;

// The microphone settings' test: record a few seconds from the chosen
// microphone into memory and play them back, so the user hears what
// Dravelin hears. Nothing is written to disk.
class MicTestRecording final : public QObject
{
    Q_OBJECT
public:
    enum class State {
        idle,      // nothing recorded yet
        recording, // capturing, up to the length given to record()
        recorded,  // a take is ready to play
        playing,
        failed, // see error()
    };
    static constexpr Millis kDefaultLength{5000};

    MicTestRecording(AudioCaptureBackend &backend, AudioOutput &output, Scheduler &scheduler, UserDefaults &defaults,
                     QueueFactory queues = threadQueues(), QObject *parent = nullptr);
    ~MicTestRecording() override;

    // Records until `length` has passed or stopRecording() is called. A take
    // already held is replaced.
    QCoro::Task<> record(Millis length = kDefaultLength);
    void stopRecording();
    // Opens the speakers on a queue of its own, then plays.
    QCoro::Task<> play();
    void stopPlaying();

    State state() const { return m_state; }
    const QString &error() const { return m_error; }
    Millis recordedLength() const;
    // The loudest block of the take on the monitor scale (0…1): tells
    // "silence" from "speech" without listening.
    float peakLevel() const { return m_peak; }
    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void stateChanged();
    // While recording: each block's level on the monitor scale.
    void levelChanged(float level);

private:
    struct Take;
    void setState(State state, QString error = {});

    AudioCaptureBackend &m_backend;
    AudioOutput &m_output;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    QueueFactory m_queues;
    std::shared_ptr<Take> m_take;
    std::unique_ptr<AudioPlayback> m_playback;
    std::unique_ptr<SerialQueue> m_speakerQueue;
    std::stop_source m_stop;
    State m_state = State::idle;
    QString m_error;
    float m_peak = 0;
    TaskTracker m_tasks;
};

} // namespace dravelin
