#pragma once

#include <QDateTime>
#include <QtGlobal>

#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace dravelin {

using Millis = std::chrono::milliseconds;

class SleepAwaitable;

// The one source of time and waiting for every service. Production runs on Qt
// timers (QtScheduler); tests run on a virtual clock (VirtualScheduler) so timing
// rules are checked in milliseconds of real time.
//
// Everything here is main-thread only.
class Scheduler
{
public:
    using WakeId = quint64;

    virtual ~Scheduler() = default;

    // Time since an arbitrary fixed point; never goes backwards.
    virtual Millis monotonicNow() const = 0;
    // The wall clock, in UTC.
    virtual QDateTime wallNow() const = 0;

    // Runs `fn` on the main thread once `delay` has passed. A zero delay runs it
    // after the current work, never synchronously.
    virtual WakeId scheduleWake(Millis delay, std::function<void()> fn) = 0;
    // Forgets a wake that has not run yet; unknown ids are ignored.
    virtual void cancelWake(WakeId id) = 0;

    // The one entry point that other threads may call: runs `fn` on the main
    // thread after the current work (how capture and database threads hand
    // results back).
    virtual void postFromAnyThread(std::function<void()> fn) = 0;

    // `co_await sleep(d, token)` suspends for `d`. It yields true when the full
    // time passed and false when `token` was stopped first: the sleep then ends
    // early, on the next turn of the scheduler. Code that must "fall through" a
    // cancelled sleep to its checks simply ignores the result.
    [[nodiscard]] SleepAwaitable sleep(Millis duration, std::stop_token token = {});
};

class SleepAwaitable
{
public:
    SleepAwaitable(Scheduler &scheduler, Millis duration, std::stop_token token);
    ~SleepAwaitable();
    // Movable until awaited (coroutine machinery may move it into place).
    SleepAwaitable(SleepAwaitable &&other) noexcept;
    SleepAwaitable(const SleepAwaitable &) = delete;
    SleepAwaitable &operator=(const SleepAwaitable &) = delete;
    SleepAwaitable &operator=(SleepAwaitable &&) = delete;

    bool await_ready();
    void await_suspend(std::coroutine_handle<> handle);
    bool await_resume() const;

private:
    struct State;
    struct OnStop
    {
        std::shared_ptr<State> state;
        void operator()() const;
    };

    Scheduler &m_scheduler;
    Millis m_duration;
    std::stop_token m_token;
    bool m_readyResult = true;
    std::shared_ptr<State> m_state;
    std::optional<std::stop_callback<OnStop>> m_onStop;
};

} // namespace dravelin
