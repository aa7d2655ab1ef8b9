#pragma once

#include "core/Scheduler.h"
#include "http/HttpParser.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace dravelin::server {

class HttpConnection;

// Where a handler writes its answer: one whole response, or a chunked
// stream. Writing after the client has gone does nothing.
class ResponseWriter
{
public:
    explicit ResponseWriter(QPointer<HttpConnection> connection) : m_connection(std::move(connection)) {}

    void send(const HttpResponse &response);
    void beginStream(int status, const HeaderList &headers);
    // False once the client has gone.
    bool writeChunk(const QByteArray &bytes);
    void endStream();

    bool isOpen() const;
    bool isFinished() const { return m_finished; }

private:
    QPointer<HttpConnection> m_connection;
    bool m_streaming = false;
    bool m_finished = false;
};

// How a path takes WebSocket upgrades: `check` may refuse the handshake with a
// response (e.g. 401); `open` receives the upgraded connection (owned by the
// server; it deletes itself once closed).
struct WebSocketRoute
{
    std::function<std::optional<HttpResponse>(const HttpRequest &)> check;
    std::function<void(const HttpRequest &, class WebSocketConnection *)> open;
};

// A small HTTP/1.1 server: keep-alive, one request at a time per connection,
// Content-Length bodies up to a limit, chunked responses, idle timeouts.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<QCoro::Task<>(HttpRequest, std::shared_ptr<ResponseWriter>)>;

    static constexpr Millis idleTimeout{30000};

    HttpServer(Handler handler, Scheduler &scheduler, HttpLimits limits = {}, QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on the address; port 0 picks a free one. False with a reason on failure.
    bool listen(const QHostAddress &address, quint16 port, QString *error = nullptr);
    // Finds the WebSocket route of a path, if it has one.
    void setWebSocketRoutes(std::function<const WebSocketRoute *(const QString &path)> lookup)
    {
        m_webSockets = std::move(lookup);
    }
    quint16 port() const;

private:
    friend class HttpConnection;
    void onNewConnection();

    Handler m_handler;
    std::function<const WebSocketRoute *(const QString &path)> m_webSockets;
    Scheduler &m_scheduler;
    HttpLimits m_limits;
    QTcpServer *m_server;
};

// One client connection (internal to the server).
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    HttpConnection(QTcpSocket *socket, HttpServer &server);
    ~HttpConnection() override;

    void write(const QByteArray &bytes);
    void responseDone(bool close);
    bool isOpen() const;

private:
    void onReadyRead();
    void processNext();
    bool upgrade(const HttpRequest &request);
    void armIdleTimer();
    void close();

    QPointer<QTcpSocket> m_socket;
    HttpServer &m_server;
    HttpParser m_parser;
    bool m_busy = false;
    bool m_closeAfterResponse = false;
    bool m_closeWhenDrained = false; // answered early: dropping the rest of a refused body, then closing
    Scheduler::WakeId m_idleWake = 0;
};

} // namespace dravelin::server
