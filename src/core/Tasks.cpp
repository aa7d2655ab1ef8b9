#include "core/Tasks.h"

#include "core/Log.h"

#include <exception>

namespace dravelin {

struct TaskTracker::Shared
{
    int pending = 0;
};

TaskTracker::TaskTracker() : m_shared(std::make_shared<Shared>()) {}

TaskTracker::~TaskTracker() = default;

void TaskTracker::track(QCoro::Task<> task)
{
    // The wrapper is itself detached: it frees itself when the task ends.
    run(m_shared, std::move(task));
}

int TaskTracker::pendingCount() const
{
    return m_shared->pending;
}

QCoro::Task<> TaskTracker::run(std::shared_ptr<Shared> shared, QCoro::Task<> task)
{
    ++shared->pending;
    try {
        co_await task;
    } catch (const std::exception &e) {
        logs::error(logs::app(), QStringLiteral("Background task failed: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        logs::error(logs::app(), QStringLiteral("Background task failed with an unknown error"));
    }
    --shared->pending;
}

} // namespace dravelin
