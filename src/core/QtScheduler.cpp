#include "core/QtScheduler.h"

#include <QTimer>

namespace dravelin {

QtScheduler::QtScheduler(QObject *parent) : QObject(parent) {}

QtScheduler::~QtScheduler()
{
    for (auto &[id, wake] : m_wakes)
        delete wake.timer;
}

Millis QtScheduler::monotonicNow() const
{
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch());
}

QDateTime QtScheduler::wallNow() const
{
    return QDateTime::currentDateTimeUtc();
}

Scheduler::WakeId QtScheduler::scheduleWake(Millis delay, std::function<void()> fn)
{
    const WakeId id = m_nextId++;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, id] {
        auto it = m_wakes.find(id);
        if (it == m_wakes.end())
            return;
        auto wake = std::move(it->second.fn);
        it->second.timer->deleteLater();
        m_wakes.erase(it);
        wake();
    });
    m_wakes.emplace(id, Wake{timer, std::move(fn)});
    timer->start(std::max<qint64>(0, delay.count()));
    return id;
}

void QtScheduler::cancelWake(WakeId id)
{
    auto it = m_wakes.find(id);
    if (it == m_wakes.end())
        return;
    it->second.timer->stop();
    it->second.timer->deleteLater();
    m_wakes.erase(it);
}

void QtScheduler::postFromAnyThread(std::function<void()> fn)
{
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

} // namespace dravelin
