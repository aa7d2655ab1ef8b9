#pragma once

#include "account/AuthRequestSending.h"
#include "core/AsyncEvent.h"

#include <deque>
#include <memory>
#include <vector>

namespace dravelin::test {

// Answers requests from a script, optionally holding every reply until
// released so tests can look at what is in flight.
class ScriptedSender final : public AuthRequestSending
{
public:
    QCoro::Task<Expected<HttpReply, SendFailure>> send(HttpRequest request) override
    {
        requests.push_back(request);
        if (hold) {
            const auto gate = m_gate;
            co_await gate->wait();
        }
        if (replies.empty())
            co_return Unexpected(SendFailure{false, QStringLiteral("Connection refused")});
        auto reply = replies.front();
        replies.pop_front();
        co_return reply;
    }
    void release()
    {
        hold = false;
        std::exchange(m_gate, std::make_shared<AsyncEvent>())->set();
    }
    void reply(int status, QByteArray body) { replies.push_back(HttpReply{status, std::move(body)}); }
    void fail(bool connectionLost = false)
    {
        replies.push_back(Unexpected(SendFailure{connectionLost, QStringLiteral("Connection refused")}));
    }

    std::vector<HttpRequest> requests;
    std::deque<Expected<HttpReply, SendFailure>> replies;
    bool hold = false;

private:
    std::shared_ptr<AsyncEvent> m_gate = std::make_shared<AsyncEvent>();
};

} // namespace dravelin::test
