#include "core/VirtualScheduler.h"

namespace dravelin {

VirtualScheduler::VirtualScheduler(QDateTime wallStart) : m_wallStart(std::move(wallStart)) {}

QDateTime VirtualScheduler::wallNow() const
{
    return m_wallStart.addMSecs(m_now.count());
}

Scheduler::WakeId VirtualScheduler::scheduleWake(Millis delay, std::function<void()> fn)
{
    const WakeId id = m_nextId++;
    const auto key = std::make_pair(m_now + std::max(delay, Millis(0)), m_sequence++);
    m_queue.emplace(key, std::make_pair(id, std::move(fn)));
    m_index.emplace(id, key);
    return id;
}

void VirtualScheduler::cancelWake(WakeId id)
{
    auto it = m_index.find(id);
    if (it == m_index.end())
        return;
    m_queue.erase(it->second);
    m_index.erase(it);
}

void VirtualScheduler::postFromAnyThread(std::function<void()> fn)
{
    std::lock_guard lock(m_inboxMutex);
    m_inbox.push_back(std::move(fn));
}

void VirtualScheduler::takeInbox()
{
    std::vector<std::function<void()>> inbox;
    {
        std::lock_guard lock(m_inboxMutex);
        inbox.swap(m_inbox);
    }
    for (auto &fn : inbox)
        scheduleWake(Millis(0), std::move(fn));
}

size_t VirtualScheduler::pendingWakes() const
{
    std::lock_guard lock(m_inboxMutex);
    return m_queue.size() + m_inbox.size();
}

void VirtualScheduler::advance(Millis delta)
{
    const Millis target = m_now + delta;
    takeInbox();
    while (!m_queue.empty() && m_queue.begin()->first.first <= target) {
        auto node = m_queue.extract(m_queue.begin());
        m_index.erase(node.mapped().first);
        m_now = node.key().first;
        auto fn = std::move(node.mapped().second);
        fn();
        takeInbox();
    }
    m_now = target;
}

bool VirtualScheduler::runNext()
{
    takeInbox();
    if (m_queue.empty())
        return false;
    advance(m_queue.begin()->first.first - m_now);
    return true;
}

} // namespace dravelin
