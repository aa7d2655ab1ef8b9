#pragma once

#include "core/Json.h"
#include "core/Scheduler.h"
#include "http/HttpServer.h"

#include <QHostAddress>

#include <deque>
#include <vector>

namespace dravelin::test {

using namespace std::chrono_literals;

// An OpenAI-compatible chat endpoint answering from a script.
class ScriptedModelEndpoint
{
public:
    struct Reply
    {
        int status = 200;
        QByteArray body;
        Millis delay{0};
    };

    explicit ScriptedModelEndpoint(Scheduler &scheduler)
        : m_scheduler(scheduler)
        , m_http(
              [this](server::HttpRequest request, std::shared_ptr<server::ResponseWriter> writer) {
                  return serve(std::move(request), std::move(writer));
              },
              scheduler)
    {
        m_http.listen(QHostAddress::LocalHost, 0);
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/v1").arg(m_http.port()); }

    static QByteArray content(const QString &text)
    {
        json::Json message{{"role", "assistant"}};
        message["content"] = text;
        json::Json reply;
        reply["choices"] = json::Json::array({json::Json{{"message", message}}});
        reply["usage"] = json::Json{{"prompt_tokens", 40}, {"completion_tokens", 7}};
        return json::encode(reply);
    }
    void answer(const QString &text, Millis delay = Millis(0)) { replies.push_back({200, content(text), delay}); }

    std::deque<Reply> replies;
    std::vector<json::Json> requests;
    std::vector<QByteArray> headers;
    bool sawHangUp = false;

private:
    QCoro::Task<> serve(server::HttpRequest request, std::shared_ptr<server::ResponseWriter> writer)
    {
        if (request.path != u"/v1/chat/completions") {
            writer->send(server::HttpResponse::error(404, QStringLiteral("no such path")));
            co_return;
        }
        requests.push_back(json::parse(request.body).valueOr(json::Json()));
        headers.push_back(request.header("authorization"));
        if (replies.empty()) {
            writer->send(server::HttpResponse::error(500, QStringLiteral("nothing scripted")));
            co_return;
        }
        const Reply reply = replies.front();
        replies.pop_front();
        for (Millis waited{0}; waited < reply.delay; waited += 20ms) {
            co_await m_scheduler.sleep(20ms);
            if (!writer->isOpen()) {
                sawHangUp = true;
                co_return;
            }
        }
        server::HttpResponse response = server::HttpResponse::json(reply.status, reply.body);
        writer->send(response);
    }

    Scheduler &m_scheduler;
    server::HttpServer m_http;
};

} // namespace dravelin::test
