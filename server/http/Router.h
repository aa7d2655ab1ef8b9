#pragma once

#include "http/HttpServer.h"

#include <map>

namespace dravelin::server {

// Exact-path routing by method. OPTIONS on a known path is answered for
// every route (the clients' connection warm-up); unknown paths get 404 and
// wrong methods 405, both with the JSON error envelope.
class Router
{
public:
    using Handler = std::function<QCoro::Task<HttpResponse>(HttpRequest)>;
    using StreamHandler = std::function<QCoro::Task<>(HttpRequest, std::shared_ptr<ResponseWriter>)>;

    using HeadCheck = HttpServer::HeadCheck;

    // `check`, when given, may refuse a request on its headers before its
    // body is read (a missing bearer token on an upload).
    void add(const QByteArray &method, const QString &path, Handler handler, HeadCheck check = {});
    // A handler that writes its own answer (streaming responses).
    void addStreaming(const QByteArray &method, const QString &path, StreamHandler handler, HeadCheck check = {});

    void addWebSocket(const QString &path, WebSocketRoute route);
    const WebSocketRoute *webSocket(const QString &path) const;

    QCoro::Task<> dispatch(HttpRequest request, std::shared_ptr<ResponseWriter> writer) const;
    // The head check of the request's route, if it has one and it refuses.
    std::optional<HttpResponse> checkHead(const HttpRequest &request) const;

private:
    std::map<QString, WebSocketRoute> m_webSockets;
    std::map<std::pair<QString, QByteArray>, StreamHandler> m_routes;
    std::map<std::pair<QString, QByteArray>, HeadCheck> m_headChecks;
};

} // namespace dravelin::server
