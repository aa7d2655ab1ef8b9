#pragma once

#include <QPointer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <stop_token>

namespace dravelin {

// Keeps count of fire-and-forget coroutines started by an owner, so shutdown
// and tests can tell when side work is finished. An exception escaping a
// tracked task is logged, never lost silently and never rethrown.
class TaskTracker
{
public:
    TaskTracker();
    ~TaskTracker();
    TaskTracker(const TaskTracker &) = delete;
    TaskTracker &operator=(const TaskTracker &) = delete;

    // Takes a started task. Tasks run on even if the tracker goes away.
    void track(QCoro::Task<> task);

    // Tasks started through this tracker that have not finished yet.
    int pendingCount() const;

private:
    struct Shared;
    static QCoro::Task<> run(std::shared_ptr<Shared> shared, QCoro::Task<> task);
    std::shared_ptr<Shared> m_shared;
};

// A cancellable background task slot (a tap-decision timer, a watchdog…): the
// task receives the token and checks it after every suspension.
class CancellableSlot
{
public:
    // Cancels the previous task, if any, and hands out a fresh token.
    std::stop_token renew()
    {
        cancel();
        m_source.emplace();
        return m_source->get_token();
    }
    // Cancels and clears.
    void cancel()
    {
        if (m_source)
            m_source->request_stop();
        m_source.reset();
    }
    bool isActive() const { return m_source.has_value(); }

private:
    std::optional<std::stop_source> m_source;
};

// A callback that holds `owner` weakly and, when invoked, starts
// `(owner->*method)(args…)` as a task tracked by the owner's taskTracker().
// A callback that finds its owner gone does nothing.
template <typename T, typename... Args>
std::function<void(Args...)> weakTask(T *owner, QCoro::Task<> (T::*method)(Args...))
{
    return [weak = QPointer<T>(owner), method](Args... args) {
        if (T *self = weak.data())
            self->taskTracker().track((self->*method)(std::move(args)...));
    };
}

} // namespace dravelin
