#pragma once

#include "core/Scheduler.h"

#include <QObject>

#include <unordered_map>

class QTimer;

namespace dravelin {

// The production scheduler: Qt precise timers on the main thread and the
// steady clock.
class QtScheduler final : public QObject, public Scheduler
{
    Q_OBJECT
public:
    explicit QtScheduler(QObject *parent = nullptr);
    ~QtScheduler() override;

    Millis monotonicNow() const override;
    QDateTime wallNow() const override;
    WakeId scheduleWake(Millis delay, std::function<void()> fn) override;
    void cancelWake(WakeId id) override;
    void postFromAnyThread(std::function<void()> fn) override;

private:
    struct Wake
    {
        QTimer *timer = nullptr;
        std::function<void()> fn;
    };
    std::unordered_map<WakeId, Wake> m_wakes;
    WakeId m_nextId = 1;
};

} // namespace dravelin
