#include "http/Router.h"

#include "core/Log.h"

namespace dravelin::server {

void Router::add(const QByteArray &method, const QString &path, Handler handler)
{
    addStreaming(
        method, path,
        [handler = std::move(handler)](HttpRequest request, std::shared_ptr<ResponseWriter> writer) -> QCoro::Task<> {
            const HttpResponse response = co_await handler(std::move(request));
            writer->send(response);
        });
}

void Router::addStreaming(const QByteArray &method, const QString &path, StreamHandler handler)
{
    m_routes[{path, method}] = std::move(handler);
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

QCoro::Task<> Router::dispatch(HttpRequest request, std::shared_ptr<ResponseWriter> writer) const
{
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
        logs::error(logs::app(), QStringLiteral("Request failed: %1").arg(QString::fromUtf8(e.what())));
        writer->send(HttpResponse::error(500, QStringLiteral("internal error")));
    }
    if (!writer->isFinished())
        writer->send(HttpResponse::error(500, QStringLiteral("internal error: no response")));
}

} // namespace dravelin::server
