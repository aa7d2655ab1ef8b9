#pragma once

#include "core/Scheduler.h"

#include <map>
#include <mutex>
#include <vector>

namespace dravelin {

// A scheduler whose clock moves only when told to. Wakes run in time order
// (then in the order they were scheduled), synchronously inside advance(), so
// every timing rule can be exercised deterministically and instantly.
class VirtualScheduler final : public Scheduler
{
public:
    explicit VirtualScheduler(QDateTime wallStart = QDateTime(QDate(2026, 1, 1), QTime(9, 0), Qt::UTC));

    Millis monotonicNow() const override { return m_now; }
    QDateTime wallNow() const override;
    WakeId scheduleWake(Millis delay, std::function<void()> fn) override;
    void cancelWake(WakeId id) override;
    // Collected from any thread; run at the current time by the next
    // advance(), runPending() or runNext() on the main thread.
    void postFromAnyThread(std::function<void()> fn) override;

    // Moves the clock forward by `delta`, running every wake that falls due on
    // the way (including wakes scheduled by those wakes).
    void advance(Millis delta);
    // Runs what is due now without moving the clock.
    void runPending() { advance(Millis(0)); }
    // Advances to the next pending wake and runs it; false when none is left.
    bool runNext();

    size_t pendingWakes() const;

private:
    void takeInbox();

    Millis m_now{0};
    QDateTime m_wallStart;
    WakeId m_nextId = 1;
    quint64 m_sequence = 0;
    std::map<std::pair<Millis, quint64>, std::pair<WakeId, std::function<void()>>> m_queue;
    std::map<WakeId, std::pair<Millis, quint64>> m_index;
    mutable std::mutex m_inboxMutex;
    std::vector<std::function<void()>> m_inbox;
};

} // namespace dravelin
