#include "core/SerialQueue.h"

#include <pthread.h>

namespace dravelin {

ThreadQueue::ThreadQueue(QString label) : m_label(std::move(label))
{
    m_thread = std::thread([this] { run(); });
}

ThreadQueue::~ThreadQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void ThreadQueue::enqueue(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void ThreadQueue::run()
{
    // Thread names are limited to 15 bytes; keep the distinctive tail.
    const QByteArray name = m_label.toUtf8().right(15);
    pthread_setname_np(pthread_self(), name.constData());
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return; // stopping, and everything queued has run
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

QueueFactory threadQueues()
{
    return [](const QString &label) -> std::unique_ptr<SerialQueue> { return std::make_unique<ThreadQueue>(label); };
}

} // namespace dravelin
