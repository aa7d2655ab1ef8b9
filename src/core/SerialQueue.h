#pragma once

#include "core/Scheduler.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace dravelin {

// A serial job queue off the main thread: jobs run one at a time, in the
// order they were enqueued.
class SerialQueue
{
public:
    virtual ~SerialQueue() = default;
    // Thread-safe.
    virtual void enqueue(std::function<void()> job) = 0;
    virtual QString label() const = 0;
};

// A SerialQueue on its own thread. The destructor runs the jobs already
// queued, then joins the thread.
class ThreadQueue final : public SerialQueue
{
public:
    explicit ThreadQueue(QString label);
    ~ThreadQueue() override;

    void enqueue(std::function<void()> job) override;
    QString label() const override { return m_label; }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

// Makes the queues of components that own several over time (a capture
// session per recording); tests substitute queues that run jobs inline.
using QueueFactory = std::function<std::unique_ptr<SerialQueue>(const QString &label)>;
QueueFactory threadQueues();

// `co_await onQueue(queue, scheduler, fn)` runs `fn` on the queue and resumes
// the caller on the main thread with its result. If the awaiting coroutine is
// destroyed meanwhile, the result is dropped.
template <typename T>
class QueueJob
{
public:
    QueueJob(SerialQueue &queue, Scheduler &scheduler, std::function<T()> fn)
        : m_queue(queue)
        , m_scheduler(scheduler)
        , m_fn(std::move(fn))
    {}
    QueueJob(QueueJob &&) noexcept = default;
    ~QueueJob()
    {
        if (m_state)
            m_state->abandoned = true; // main thread only, like the resumption
    }

    bool await_ready() const { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        m_state = std::make_shared<State>();
        m_state->handle = handle;
        Scheduler *scheduler = &m_scheduler;
        m_queue.enqueue([state = m_state, fn = std::move(m_fn), scheduler] {
            try {
                state->result.emplace(fn());
            } catch (...) {
                state->error = std::current_exception();
            }
            scheduler->postFromAnyThread([state] {
                if (!state->abandoned)
                    state->handle.resume();
            });
        });
    }
    T await_resume()
    {
        if (m_state->error)
            std::rethrow_exception(m_state->error);
        return std::move(*m_state->result);
    }

private:
    struct State
    {
        std::coroutine_handle<> handle;
        std::optional<T> result;
        std::exception_ptr error;
        bool abandoned = false;
    };
    SerialQueue &m_queue;
    Scheduler &m_scheduler;
    std::function<T()> m_fn;
    std::shared_ptr<State> m_state;
};

template <typename F>
auto onQueue(SerialQueue &queue, Scheduler &scheduler, F &&fn)
{
    using T = std::invoke_result_t<F>;
    return QueueJob<T>(queue, scheduler, std::function<T()>(std::forward<F>(fn)));
}

} // namespace dravelin
