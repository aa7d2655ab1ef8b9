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

void VirtualScheduler::advance(Millis delta)
{
    const Millis target = m_now + delta;
    while (!m_queue.empty() && m_queue.begin()->first.first <= target) {
        auto node = m_queue.extract(m_queue.begin());
        m_index.erase(node.mapped().first);
        m_now = node.key().first;
        auto fn = std::move(node.mapped().second);
        fn();
    }
    m_now = target;
}

bool VirtualScheduler::runNext()
{
    if (m_queue.empty())
        return false;
    advance(m_queue.begin()->first.first - m_now);
    return true;
}

} // namespace dravelin
