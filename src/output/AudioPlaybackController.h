#pragma once

#include "core/SerialQueue.h"
#include "core/Tasks.h"
#include "platform/AudioOutput.h"

#include <QObject>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <set>

namespace dravelin {

class Scheduler;

// Plays the saved recording of one history entry at a time: play/pause per
// entry, stopped when the entry leaves the history or a new recording starts.
// Reading, decoding and opening the speakers happen on a queue of their own
// (a sound server can take seconds to answer). Main thread only.
class AudioPlaybackController final : public QObject
{
    Q_OBJECT
public:
    AudioPlaybackController(AudioOutput &output, Scheduler &scheduler, const QueueFactory &queues = threadQueues(),
                            QObject *parent = nullptr);
    ~AudioPlaybackController() override;

    // The play/pause button of one entry.
    void toggle(const QUuid &id, const QString &path);
    void stop();
    // Stops unless the active entry is one of `ids` (the entries still in the history).
    void stopUnlessAmong(const std::set<QUuid> &ids);

    // The entry playing, paused or being loaded.
    std::optional<QUuid> activeID() const { return m_activeID; }
    bool isPlaying() const { return m_playing; }
    bool isLoading() const { return m_loading; }

Q_SIGNALS:
    void stateChanged();

private:
    QCoro::Task<> start(QString path, quint64 generation);
    void ended(quint64 generation, std::optional<QString> error);

    AudioOutput &m_output;
    Scheduler &m_scheduler;
    std::unique_ptr<AudioPlayback> m_player;
    std::optional<QUuid> m_activeID;
    bool m_playing = false;
    bool m_loading = false;
    quint64 m_generation = 0; // which loaded player a callback belongs to
    std::unique_ptr<SerialQueue> m_queue;
    TaskTracker m_tasks;
};

} // namespace dravelin
