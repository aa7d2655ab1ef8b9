#include "http/HttpServer.h"

#include "core/Log.h"
#include "http/WebSocket.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace dravelin::server {

namespace {

// The status line and headers, with the Connection header the connection
// calls for unless the handler set one.
QByteArray head(int status, const HeaderList &headers, const QByteArray &connection)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    bool hasConnection = false;
    for (const auto &[name, value] : headers) {
        out += name + ": " + value + "\r\n";
        hasConnection = hasConnection || name.compare("connection", Qt::CaseInsensitive) == 0;
    }
    if (!hasConnection && !connection.isEmpty())
        out += "Connection: " + connection + "\r\n";
    return out;
}

} // namespace

// ---- ResponseWriter ---------------------------------------------------------

bool ResponseWriter::isOpen() const
{
    return m_connection && m_connection->isOpen();
}

void ResponseWriter::identify(QByteArray requestId, QByteArray method, QString path)
{
    m_requestId = std::move(requestId);
    m_method = std::move(method);
    m_path = std::move(path);
    m_started.start();
}

HeaderList ResponseWriter::withRequestId(HeaderList headers) const
{
    if (!m_requestId.isEmpty())
        headers.append(qMakePair(QByteArray("X-Request-Id"), m_requestId));
    return headers;
}

void ResponseWriter::logDone(int status) const
{
    if (m_requestId.isEmpty())
        return;
    logs::info(logs::app(), QStringLiteral("%1 %2 → %3 in %4 ms (request %5)")
                                .arg(QString::fromLatin1(m_method), m_path)
                                .arg(status)
                                .arg(m_started.elapsed())
                                .arg(QString::fromLatin1(m_requestId)));
}

void ResponseWriter::send(const HttpResponse &response)
{
    if (m_finished)
        return;
    m_finished = true;
    logDone(response.status);
    if (!isOpen())
        return;
    QByteArray out = head(response.status, withRequestId(response.headers), m_connection->connectionHeader());
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
    out += response.body;
    m_connection->write(out);
    m_connection->responseDone(false);
}

void ResponseWriter::beginStream(int status, const HeaderList &headers)
{
    if (m_finished || m_streaming)
        return;
    m_streaming = true;
    m_streamStatus = status;
    if (!isOpen())
        return;
    m_connection->write(head(status, withRequestId(headers), m_connection->connectionHeader()) +
                        "Transfer-Encoding: chunked\r\n\r\n");
}

bool ResponseWriter::writeChunk(const QByteArray &bytes)
{
    if (!m_streaming || m_finished || !isOpen())
        return false;
    if (!bytes.isEmpty())
        m_connection->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    return true;
}

void ResponseWriter::endStream()
{
    if (!m_streaming || m_finished)
        return;
    m_finished = true;
    logDone(m_streamStatus);
    if (!isOpen())
        return;
    m_connection->write("0\r\n\r\n");
    m_connection->responseDone(false);
}

// ---- HttpServer -------------------------------------------------------------

HttpServer::HttpServer(Handler handler, Scheduler &scheduler, HttpLimits limits, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
    , m_scheduler(scheduler)
    , m_limits(limits)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

HttpServer::~HttpServer()
{
    m_scheduler.cancelWake(m_stopWake);
    // Connections are children; they go first, while the server they refer to
    // is still whole.
    for (HttpConnection *connection : findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly))
        delete connection;
    for (WebSocketConnection *connection : findChildren<WebSocketConnection *>(Qt::FindDirectChildrenOnly))
        delete connection;
}

bool HttpServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (m_server->listen(address, port))
        return true;
    if (error)
        *error = m_server->errorString();
    return false;
}

quint16 HttpServer::port() const
{
    return m_server->serverPort();
}

void HttpServer::run(HttpRequest request, std::shared_ptr<ResponseWriter> writer)
{
    ++m_running;
    track(QPointer(this), m_handler(std::move(request), std::move(writer)));
}

// Awaits a handler so that shutdown knows when the last one has returned.
QCoro::Task<> HttpServer::track(QPointer<HttpServer> self, QCoro::Task<> handler)
{
    try {
        co_await handler;
    } catch (const std::exception &e) {
        logs::error(logs::app(), QStringLiteral("HTTP handler failed: %1").arg(QString::fromUtf8(e.what())));
    }
    if (!self)
        co_return;
    --self->m_running;
    if (self->m_stopping && self->m_running == 0)
        self->stopped();
}

void HttpServer::shutdown(Millis grace, std::function<void()> done)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_onStopped = std::move(done);
    m_server->close();
    for (HttpConnection *connection : findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly))
        connection->stop();
    for (WebSocketConnection *connection : findChildren<WebSocketConnection *>(Qt::FindDirectChildrenOnly))
        connection->close(1001, QStringLiteral("the server is shutting down"));
    logs::info(logs::app(), QStringLiteral("HTTP server stopping: %1 request(s) under way").arg(m_running));
    m_stopWake = m_scheduler.scheduleWake(m_running == 0 ? Millis(0) : grace, [this] {
        m_stopWake = 0;
        if (m_running > 0)
            logs::info(logs::app(), QStringLiteral("HTTP server stopped with %1 request(s) unfinished").arg(m_running));
        stopped();
    });
}

void HttpServer::stopped()
{
    m_scheduler.cancelWake(std::exchange(m_stopWake, 0));
    if (auto done = std::exchange(m_onStopped, nullptr))
        done();
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_open >= m_limits.maxConnections) {
            // Answered without reading the request, and closed once written.
            logs::info(logs::app(), QStringLiteral("HTTP 503 to %1: %2 connections are open")
                                        .arg(logs::priv(socket->peerAddress().toString()))
                                        .arg(m_open));
            socket->setParent(this);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            const QByteArray body = R"({"error":"the server is busy; try again shortly"})";
            socket->write("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket->disconnectFromHost();
            continue;
        }
        ++m_open;
        connect(socket, &QObject::destroyed, this, [this] { --m_open; });
        new HttpConnection(socket, *this);
    }
}

// ---- HttpConnection ---------------------------------------------------------

HttpConnection::HttpConnection(QTcpSocket *socket, HttpServer &server)
    : QObject(&server)
    , m_socket(socket)
    , m_server(server)
    , m_parser(server.m_limits)
    , m_peer(socket->peerAddress().toString())
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    updateDeadline();
}

HttpConnection::~HttpConnection()
{
    m_server.m_scheduler.cancelWake(m_deadline);
}

bool HttpConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray HttpConnection::connectionHeader() const
{
    if (m_closeAfterResponse)
        return "close";
    return m_keepAlive10 ? "keep-alive" : QByteArray();
}

void HttpConnection::write(const QByteArray &bytes)
{
    if (isOpen())
        m_socket->write(bytes);
}

void HttpConnection::setDeadline(Phase phase, Millis after)
{
    m_phase = phase;
    m_server.m_scheduler.cancelWake(m_deadline);
    QPointer self(this);
    m_deadline = m_server.m_scheduler.scheduleWake(after, [self, phase] {
        if (!self || self->m_phase != phase)
            return;
        self->m_deadline = 0;
        if (phase == Phase::idle || phase == Phase::draining) {
            self->close();
            return;
        }
        self->refuse(HttpResponse::error(408, phase == Phase::headers
                                                  ? QStringLiteral("the request headers took too long")
                                                  : QStringLiteral("the request body took too long")),
                     QStringLiteral("too slow"));
    });
}

// Starts the deadline of the phase the connection has entered; staying in a
// phase (more bytes of the same request) leaves it where it is.
void HttpConnection::updateDeadline()
{
    Phase phase = Phase::idle;
    if (m_busy)
        phase = Phase::busy;
    else if (m_parser.hasPartialRequest())
        phase = m_parser.headersDone() ? Phase::body : Phase::headers;
    if (phase == m_phase)
        return;
    switch (phase) {
    case Phase::idle:
        setDeadline(phase, HttpServer::idleTimeout);
        break;
    case Phase::headers:
        setDeadline(phase, HttpServer::headerTimeout);
        break;
    case Phase::body:
        setDeadline(phase, HttpServer::bodyDeadline(m_parser.expectedBodyBytes()));
        break;
    case Phase::busy:
    case Phase::draining:
        m_phase = phase;
        m_server.m_scheduler.cancelWake(std::exchange(m_deadline, 0));
        break;
    }
}

void HttpConnection::stop()
{
    if (m_busy)
        m_closeAfterResponse = true;
    else
        close();
}

void HttpConnection::close()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

// Answers an error of the connection's own (not the handler's) and closes.
void HttpConnection::refuse(HttpResponse response, const QString &why)
{
    logs::info(logs::app(), QStringLiteral("HTTP %1 to %2: %3").arg(response.status).arg(logs::priv(m_peer), why));
    m_busy = true;
    m_closeAfterResponse = true;
    updateDeadline();
    ResponseWriter(QPointer(this)).send(response);
}

void HttpConnection::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (m_phase == Phase::draining && m_discardLeft > 0) {
        m_discardLeft -= bytes.size();
        if (m_discardLeft <= 0)
            close();
        return;
    }
    if (m_phase == Phase::draining) {
        m_parser.feed(bytes);
        if (m_parser.bodyBytesToDiscard() == 0)
            close();
        return;
    }
    m_parser.feed(bytes);
    processNext();
    // Bytes beyond the request being answered wait in the parser, but only
    // so many: a client that keeps sending ahead of its answers is cut off.
    if (m_socket && m_parser.bufferedBytes() > m_server.m_limits.maxHeaderBytes + m_server.m_limits.maxBodyBytes) {
        logs::info(logs::app(), QStringLiteral("HTTP connection from %1 closed: %2 bytes sent ahead of the answer")
                                    .arg(logs::priv(m_peer))
                                    .arg(m_parser.bufferedBytes()));
        m_parser.takeBuffer();
        m_socket->abort();
    }
}

void HttpConnection::processNext()
{
    if (m_busy)
        return;
    if (m_server.m_stopping) {
        close();
        return;
    }
    if (m_parser.state() == HttpParser::State::error) {
        refuse(HttpResponse::error(m_parser.errorStatus(), m_parser.errorMessage()), m_parser.errorMessage());
        return;
    }
    if (m_parser.state() != HttpParser::State::complete) {
        if (m_parser.headersDone() && !m_headChecked && !checkHead())
            return;
        // The client waits for a go-ahead before it sends the body.
        if (m_parser.awaitsContinue() && !m_continueSent) {
            m_continueSent = true;
            write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        updateDeadline();
        return;
    }
    m_continueSent = false;
    m_headChecked = false;
    HttpRequest request = m_parser.take();
    if (request.header("upgrade").toLower() == "websocket" && upgrade(request))
        return;
    m_busy = true;
    m_closeAfterResponse = request.wantsClose();
    m_keepAlive10 = !m_closeAfterResponse && request.version == "HTTP/1.0";
    updateDeadline();
    auto writer = std::make_shared<ResponseWriter>(QPointer(this));
    m_server.run(std::move(request), std::move(writer));
}

// Lets the route refuse a request on its headers alone (no or a bad bearer
// token) so that a body it would not take is never read, nor a 100 Continue
// sent for it. False when it was refused.
bool HttpConnection::checkHead()
{
    m_headChecked = true;
    if (!m_server.m_headCheck)
        return true;
    const std::optional<HttpResponse> refusal = m_server.m_headCheck(m_parser.current());
    if (!refusal)
        return true;
    // A client that waits for 100 Continue sends nothing more; any other is
    // sending its body, which is read and dropped (not kept) so that it is
    // not cut off before it reads the answer.
    if (!m_parser.awaitsContinue())
        m_discardLeft = std::max<qint64>(1, m_parser.expectedBodyBytes() - m_parser.bufferedBytes());
    m_parser.takeBuffer();
    refuse(*refusal, QStringLiteral("refused before its body"));
    return false;
}

// Switches the connection to WebSocket when the path takes upgrades and the
// handshake is sound. True when the request was answered here.
bool HttpConnection::upgrade(const HttpRequest &request)
{
    const WebSocketRoute *route = m_server.m_webSockets ? m_server.m_webSockets(request.path) : nullptr;
    if (!route)
        return false;
    const QByteArray key = request.header("sec-websocket-key");
    if (request.method != "GET" || request.header("sec-websocket-version") != "13" ||
        QByteArray::fromBase64(key).size() != 16) {
        HttpResponse response = HttpResponse::error(400, QStringLiteral("invalid WebSocket handshake"));
        response.headers.append(qMakePair(QByteArray("Sec-WebSocket-Version"), QByteArray("13")));
        refuse(response, QStringLiteral("invalid WebSocket handshake"));
        return true;
    }
    if (route->check) {
        if (auto refusal = route->check(request)) {
            refuse(*refusal, QStringLiteral("WebSocket handshake refused by its route"));
            return true;
        }
    }
    QTcpSocket *socket = m_socket.data();
    socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: " +
                  webSocketAccept(key) + "\r\n\r\n");
    // Hand the socket over: this connection stops reading it and goes away.
    socket->disconnect(this);
    m_server.m_scheduler.cancelWake(std::exchange(m_deadline, 0));
    m_socket.clear();
    auto *ws = new WebSocketConnection(socket, m_parser.takeBuffer(), m_server.m_scheduler, 1 << 20, &m_server);
    connect(socket, &QTcpSocket::disconnected, ws, &QObject::deleteLater); // after the close frame is out
    route->open(request, ws);
    deleteLater();
    return true;
}

void HttpConnection::responseDone(bool close)
{
    m_busy = false;
    if (close || m_closeAfterResponse) {
        if (m_socket) {
            m_socket->flush();
            // A client still sending a body we refused would be cut off
            // before it reads why: its bytes are read and dropped first,
            // within a deadline of their own.
            if (m_parser.state() == HttpParser::State::error && m_parser.bodyBytesToDiscard() > 0) {
                setDeadline(Phase::draining, HttpServer::bodyDeadline(m_parser.bodyBytesToDiscard()));
                return;
            }
            if (m_discardLeft > 0) {
                setDeadline(Phase::draining, HttpServer::bodyTimeout);
                return;
            }
            m_socket->disconnectFromHost();
        }
        return;
    }
    updateDeadline();
    // A request that arrived while this one was answered.
    QPointer self(this);
    m_server.m_scheduler.scheduleWake(Millis(0), [self] {
        if (self)
            self->processNext();
    });
}

} // namespace dravelin::server
