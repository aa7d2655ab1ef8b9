#include "http/Router.h"

#include "auth/Jwt.h"
#include "core/Log.h"

#include <algorithm>
#include <cctype>

namespace dravelin::server {

void Router::add(const QByteArray &method, const QString &path, Handler handler, HeadCheck check)
{
    addStreaming(
        method, path,
        [handler = std::move(handler)](HttpRequest request, std::shared_ptr<ResponseWriter> writer) -> QCoro::Task<> {
            const HttpResponse response = co_await handler(std::move(request));
            writer->send(response);
        },
        std::move(check));
}

void Router::addStreaming(const QByteArray &method, const QString &path, StreamHandler handler, HeadCheck check)
{
    m_routes[{path, method}] = std::move(handler);
    if (check)
        m_headChecks[{path, method}] = std::move(check);
}

std::optional<HttpResponse> Router::checkHead(const HttpRequest &request) const
{
    const auto it = m_headChecks.find({request.path, request.method});
    return it == m_headChecks.end() ? std::nullopt : it->second(request);
}

void Router::addWebSocket(const QString &path, WebSocketRoute route)
{
    m_webSockets[path] = std::move(route);
}

const WebSocketRoute *Router::webSocket(const QString &path) const
{
    auto it = m_webSockets.find(path);
    return it == m_webSockets.end() ? nullptr : &it->second;
}

namespace {

// The caller's X-Request-Id when it is a sane token (a proxy in front of
// several instances sets one), else a fresh one.
QByteArray requestIdFor(const HttpRequest &request)
{
    const QByteArray given = request.header("x-request-id");
    const bool sane = !given.isEmpty() && given.size() <= 64 && std::all_of(given.cbegin(), given.cend(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
    return sane ? given : randomToken(9);
}

} // namespace

QCoro::Task<> Router::dispatch(HttpRequest request, std::shared_ptr<ResponseWriter> writer) const
{
    writer->identify(requestIdFor(request), request.method, request.path);
    QByteArrayList allowed;
    const StreamHandler *match = nullptr;
    for (const auto &[key, handler] : m_routes) {
        if (key.first != request.path)
            continue;
        allowed << key.second;
        if (key.second == request.method)
            match = &handler;
    }
    if (allowed.isEmpty()) {
        writer->send(HttpResponse::error(404, QStringLiteral("Not found: %1").arg(request.path)));
        co_return;
    }
    if (!match && request.method == "OPTIONS") {
        allowed << "OPTIONS";
        writer->send(HttpResponse{204,
                                  {{"Allow", allowed.join(", ")},
                                   {"Access-Control-Allow-Methods", allowed.join(", ")},
                                   {"Access-Control-Allow-Headers", "authorization, apikey, content-type, accept"}},
                                  {}});
        co_return;
    }
    if (!match) {
        HttpResponse response = HttpResponse::error(
            405, QStringLiteral("Method %1 is not allowed here").arg(QString::fromLatin1(request.method)));
        response.headers.append(qMakePair(QByteArray("Allow"), allowed.join(", ")));
        writer->send(response);
        co_return;
    }
    try {
        co_await (*match)(std::move(request), writer);
    } catch (const std::exception &e) {
        logs::error(logs::app(), QStringLiteral("Request %1 failed: %2")
                                     .arg(QString::fromLatin1(writer->requestId()), QString::fromUtf8(e.what())));
        writer->send(HttpResponse::error(500, QStringLiteral("internal error")));
    }
    if (!writer->isFinished())
        writer->send(HttpResponse::error(500, QStringLiteral("internal error: no response")));
}

} // namespace dravelin::server
