#include "core/Tasks.h"
#include "core/VirtualScheduler.h"
#include "support/LogCapture.h"

#include <QObject>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

QCoro::Task<> waitThenRun(Scheduler &s, Millis d, std::function<void()> fn)
{
    co_await s.sleep(d);
    fn();
}

QCoro::Task<> failAfter(Scheduler &s, Millis d)
{
    co_await s.sleep(d);
    throw std::runtime_error("disk full");
}

class Owner : public QObject
{
public:
    explicit Owner(Scheduler &s) : scheduler(s) {}
    TaskTracker &taskTracker() { return tracker; }
    QCoro::Task<> work(int n)
    {
        co_await scheduler.sleep(10ms);
        total += n;
    }
    Scheduler &scheduler;
    TaskTracker tracker;
    int total = 0;
};

} // namespace

TEST(TaskTrackerTest, CountsRunningTasksAndLogsEscapingExceptions)
{
    VirtualScheduler s;
    test::LogCapture logs;
    TaskTracker tracker;
    int ran = 0;
    tracker.track(waitThenRun(s, 10ms, [&] { ++ran; }));
    tracker.track(failAfter(s, 20ms));
    tracker.track(waitThenRun(s, 0ms, [&] { ++ran; }));
    EXPECT_EQ(tracker.pendingCount(), 3);
    s.advance(10ms);
    EXPECT_EQ(tracker.pendingCount(), 1);
    s.advance(10ms);
    EXPECT_EQ(tracker.pendingCount(), 0);
    EXPECT_EQ(ran, 2);
    EXPECT_TRUE(logs.has(QStringLiteral("app"), QStringLiteral("Background task failed: disk full")));
}

TEST(TaskTrackerTest, TasksOutliveTheirTracker)
{
    VirtualScheduler s;
    int ran = 0;
    {
        TaskTracker tracker;
        tracker.track(waitThenRun(s, 10ms, [&] { ++ran; }));
    }
    s.advance(10ms);
    EXPECT_EQ(ran, 1);
}

TEST(WeakTaskTest, StartsOnlyWhileTheOwnerLives)
{
    VirtualScheduler s;
    auto owner = std::make_unique<Owner>(s);
    auto callback = weakTask(owner.get(), &Owner::work);
    callback(2);
    callback(3);
    EXPECT_EQ(owner->tracker.pendingCount(), 2);
    s.advance(10ms);
    EXPECT_EQ(owner->total, 5);
    owner.reset();
    callback(7); // finds its owner gone: nothing happens
    s.advance(10ms);
}

TEST(CancellableSlotTest, RenewCancelsThePreviousToken)
{
    CancellableSlot slot;
    EXPECT_FALSE(slot.isActive());
    const auto first = slot.renew();
    const auto second = slot.renew();
    EXPECT_TRUE(first.stop_requested());
    EXPECT_FALSE(second.stop_requested());
    slot.cancel();
    EXPECT_TRUE(second.stop_requested());
    EXPECT_FALSE(slot.isActive());
}
