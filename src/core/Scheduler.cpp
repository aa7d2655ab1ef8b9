#include "core/Scheduler.h"

namespace dravelin {

struct SleepAwaitable::State
{
    Scheduler *scheduler = nullptr;
    std::coroutine_handle<> handle;
    Scheduler::WakeId wake = 0;
    bool done = false;
    bool completed = false;

    void finish(bool fullTime)
    {
        if (done)
            return;
        done = true;
        completed = fullTime;
        handle.resume();
    }
};

void SleepAwaitable::OnStop::operator()() const
{
    if (state->done)
        return;
    // Resume on the next turn, never inside the caller of request_stop().
    state->scheduler->cancelWake(state->wake);
    auto weak = std::weak_ptr<State>(state);
    state->wake = state->scheduler->scheduleWake(Millis(0), [weak] {
        if (auto s = weak.lock())
            s->finish(false);
    });
}

SleepAwaitable Scheduler::sleep(Millis duration, std::stop_token token)
{
    return SleepAwaitable(*this, duration, std::move(token));
}

SleepAwaitable::SleepAwaitable(Scheduler &scheduler, Millis duration, std::stop_token token)
    : m_scheduler(scheduler)
    , m_duration(duration)
    , m_token(std::move(token))
{}

SleepAwaitable::SleepAwaitable(SleepAwaitable &&other) noexcept
    : m_scheduler(other.m_scheduler)
    , m_duration(other.m_duration)
    , m_token(std::move(other.m_token))
    , m_readyResult(other.m_readyResult)
    , m_state(std::move(other.m_state))
{
    Q_ASSERT(!other.m_onStop); // only an awaitable that is not suspended yet can move
}

SleepAwaitable::~SleepAwaitable()
{
    m_onStop.reset();
    if (m_state && !m_state->done) {
        // The awaiting coroutine was destroyed while suspended: never resume it.
        m_state->done = true;
        m_scheduler.cancelWake(m_state->wake);
    }
}

bool SleepAwaitable::await_ready()
{
    if (m_token.stop_requested()) {
        m_readyResult = false;
        return true;
    }
    return false;
}

void SleepAwaitable::await_suspend(std::coroutine_handle<> handle)
{
    m_state = std::make_shared<State>();
    m_state->scheduler = &m_scheduler;
    m_state->handle = handle;
    auto weak = std::weak_ptr<State>(m_state);
    m_state->wake = m_scheduler.scheduleWake(std::max(m_duration, Millis(0)), [weak] {
        if (auto s = weak.lock())
            s->finish(true);
    });
    if (m_token.stop_possible())
        m_onStop.emplace(m_token, OnStop{m_state});
}

bool SleepAwaitable::await_resume() const
{
    return m_state ? m_state->completed : m_readyResult;
}

} // namespace dravelin
