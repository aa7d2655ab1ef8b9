#pragma once

// Qt first: moc cannot parse <coroutine> when it comes before any Qt header.
#include <QtGlobal>

#include <coroutine>
#include <memory>
#include <vector>

namespace dravelin {

// A one-shot event coroutines can wait for: `co_await event.wait()` suspends
// until `set()` is called (or returns at once when it already was). Waiters are
// resumed in the order they arrived, from inside `set()`. Hold the event in a
// shared_ptr when a waiter may outlive its owner.
class AsyncEvent
{
public:
    AsyncEvent() = default;
    AsyncEvent(const AsyncEvent &) = delete;
    AsyncEvent &operator=(const AsyncEvent &) = delete;

    bool isSet() const { return m_set; }

    void set()
    {
        if (m_set)
            return;
        m_set = true;
        // A resumed waiter may wait again elsewhere or drop its reference; work
        // from a copy.
        const auto waiters = std::move(m_waiters);
        m_waiters.clear();
        for (auto handle : waiters)
            handle.resume();
    }

    struct Awaiter
    {
        AsyncEvent &event;
        bool await_ready() const noexcept { return event.m_set; }
        void await_suspend(std::coroutine_handle<> handle) { event.m_waiters.push_back(handle); }
        void await_resume() const noexcept {}
    };
    [[nodiscard]] Awaiter wait() { return Awaiter{*this}; }

private:
    bool m_set = false;
    std::vector<std::coroutine_handle<>> m_waiters;
};

// Runs asynchronous operations one after another in the order they were
// started: each takes a turn, awaits its predecessor's end, and ends its own
// when the returned ticket is destroyed.
class AsyncTurnstile
{
public:
    class Ticket
    {
    public:
        explicit Ticket(std::shared_ptr<AsyncEvent> done) : m_done(std::move(done)) {}
        Ticket(Ticket &&) noexcept = default;
        Ticket &operator=(Ticket &&) noexcept = default;
        ~Ticket()
        {
            if (m_done)
                m_done->set();
        }

    private:
        std::shared_ptr<AsyncEvent> m_done;
    };

    struct Turn
    {
        std::shared_ptr<AsyncEvent> previous; // empty when nothing runs before
        std::shared_ptr<AsyncEvent> own;
        Ticket ticket() { return Ticket(own); }
    };

    // Take a turn, then `if (turn.previous) co_await turn.previous->wait();`.
    Turn take()
    {
        Turn turn{m_tail, std::make_shared<AsyncEvent>()};
        m_tail = turn.own;
        return turn;
    }

private:
    std::shared_ptr<AsyncEvent> m_tail;
};

} // namespace dravelin
