#pragma once

#include "core/Scheduler.h"
#include "http/HttpParser.h"

#include <QElapsedTimer>
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

    // Names the request this writer answers: the id goes out as X-Request-Id
    // and, with the method, path, status and time taken, into one log line
    // when the answer is complete.
    void identify(QByteArray requestId, QByteArray method, QString path);
    const QByteArray &requestId() const { return m_requestId; }

private:
    HeaderList withRequestId(HeaderList headers) const;
    void logDone(int status) const;

    QPointer<HttpConnection> m_connection;
    bool m_streaming = false;
    bool m_finished = false;
    int m_streamStatus = 0;
    QByteArray m_requestId;
    QByteArray m_method;
    QString m_path;
    QElapsedTimer m_started;
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
// Content-Length and chunked bodies up to a limit, chunked responses, and
// deadlines that a slow client cannot stretch.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<QCoro::Task<>(HttpRequest, std::shared_ptr<ResponseWriter>)>;
    // Looks at a request whose headers are in and whose body is still to
    // come: a response refuses it there (e.g. 401), before the body is read.
    using HeadCheck = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

    // A kept-alive connection with no request under way is closed after this.
    static constexpr Millis idleTimeout{30000};
    // From the first byte of a request to the end of its headers.
    static constexpr Millis headerTimeout{10000};
    // From the end of the headers to the end of the body: this, plus the
    // declared length (chunked: the body limit) at bodyBytesPerSecond.
    static constexpr Millis bodyTimeout{30000};
    static constexpr qint64 bodyBytesPerSecond = 16 * 1024;

    static Millis bodyDeadline(qint64 bytes) { return bodyTimeout + Millis(bytes * 1000 / bodyBytesPerSecond); }

    HttpServer(Handler handler, Scheduler &scheduler, HttpLimits limits = {}, QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on the address; port 0 picks a free one. False with a reason on failure.
    bool listen(const QHostAddress &address, quint16 port, QString *error = nullptr);
    // Finds the WebSocket route of a path, if it has one.
    void setWebSocketRoutes(std::function<const WebSocketRoute *(const QString &path)> lookup)
    {
        m_webSockets = std::move(lookup);
    }
    void setHeadCheck(HeadCheck check) { m_headCheck = std::move(check); }
    quint16 port() const;

    // Stops listening, closes connections between requests and WebSockets,
    // lets the handlers under way finish (their answers close their
    // connections) for up to `grace`, then calls `done` once.
    void shutdown(Millis grace, std::function<void()> done);
    // Handlers started and not yet returned.
    int handlersRunning() const { return m_running; }

private:
    friend class HttpConnection;
    void onNewConnection();
    void run(HttpRequest request, std::shared_ptr<ResponseWriter> writer);
    static QCoro::Task<> track(QPointer<HttpServer> self, QCoro::Task<> handler);
    void stopped();

    Handler m_handler;
    HeadCheck m_headCheck;
    std::function<const WebSocketRoute *(const QString &path)> m_webSockets;
    Scheduler &m_scheduler;
    HttpLimits m_limits;
    QTcpServer *m_server;
    int m_open = 0; // sockets accepted and not yet destroyed, upgraded ones included
    int m_running = 0;
    bool m_stopping = false;
    std::function<void()> m_onStopped;
    Scheduler::WakeId m_stopWake = 0;
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
    // The server is shutting down: ends the connection now when no request
    // is being answered, else after the answer.
    void stop();
    // The Connection header the response carries: "close" when the
    // connection ends after it, "keep-alive" for an HTTP/1.0 client that
    // asked to keep it, else empty.
    QByteArray connectionHeader() const;

private:
    // What the connection is waiting for, each with its own deadline; a
    // deadline is set when its phase begins and bytes arriving never move it.
    enum class Phase {
        idle,     // between requests
        headers,  // a request has begun
        body,     // its headers are in
        busy,     // the handler is answering (no deadline)
        draining, // answered early: dropping the rest of a refused body, then closing
    };

    void onReadyRead();
    void processNext();
    bool upgrade(const HttpRequest &request);
    void updateDeadline();
    void setDeadline(Phase phase, Millis after);
    void refuse(HttpResponse response, const QString &why);
    bool checkHead();
    void close();

    QPointer<QTcpSocket> m_socket;
    HttpServer &m_server;
    HttpParser m_parser;
    QString m_peer; // for the log
    bool m_busy = false;
    bool m_closeAfterResponse = false;
    bool m_keepAlive10 = false; // an HTTP/1.0 client asked for keep-alive
    bool m_continueSent = false;
    bool m_headChecked = false;
    qint64 m_discardLeft = 0; // of a body refused before it was read: bytes to drop before closing
    Phase m_phase = Phase::busy;
    Scheduler::WakeId m_deadline = 0;
};

} // namespace dravelin::server
