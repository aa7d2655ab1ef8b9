#include "http/HttpServer.h"

#include "core/Log.h"
#include "http/WebSocket.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace dravelin::server {

namespace {

QByteArray head(int status, const HeaderList &headers)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    return out;
}

} // namespace

// ---- ResponseWriter ---------------------------------------------------------

bool ResponseWriter::isOpen() const
{
    return m_connection && m_connection->isOpen();
}

void ResponseWriter::send(const HttpResponse &response)
{
    if (m_finished)
        return;
    m_finished = true;
    if (!isOpen())
        return;
    QByteArray out = head(response.status, response.headers);
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
    if (!isOpen())
        return;
    m_connection->write(head(status, headers) + "Transfer-Encoding: chunked\r\n\r\n");
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
    // Connections are children; they go first, while the server they refer to
    // is still whole.
    for (HttpConnection *connection : findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly))
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

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new HttpConnection(socket, *this);
}

// ---- HttpConnection ---------------------------------------------------------

HttpConnection::HttpConnection(QTcpSocket *socket, HttpServer &server)
    : QObject(&server)
    , m_socket(socket)
    , m_server(server)
    , m_parser(server.m_limits)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    armIdleTimer();
}

HttpConnection::~HttpConnection()
{
    m_server.m_scheduler.cancelWake(m_idleWake);
}

bool HttpConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void HttpConnection::write(const QByteArray &bytes)
{
    if (isOpen())
        m_socket->write(bytes);
}

void HttpConnection::armIdleTimer()
{
    m_server.m_scheduler.cancelWake(m_idleWake);
    QPointer self(this);
    m_idleWake = m_server.m_scheduler.scheduleWake(HttpServer::idleTimeout, [self] {
        if (self && !self->m_busy)
            self->close();
    });
}

void HttpConnection::close()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

void HttpConnection::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    if (m_closeWhenDrained) {
        m_parser.feed(bytes);
        if (m_parser.bodyBytesToDiscard() == 0)
            close();
        else
            armIdleTimer();
        return;
    }
    if (m_busy) {
        // Pipelined bytes wait in the parser until the current response is out.
        m_parser.feed(bytes);
        return;
    }
    m_parser.feed(bytes);
    armIdleTimer();
    processNext();
}

void HttpConnection::processNext()
{
    if (m_busy)
        return;
    if (m_parser.state() == HttpParser::State::error) {
        logs::info(logs::app(), QStringLiteral("HTTP %1: %2").arg(m_parser.errorStatus()).arg(m_parser.errorMessage()));
        HttpResponse response = HttpResponse::error(m_parser.errorStatus(), m_parser.errorMessage());
        response.headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
        m_busy = true;
        m_closeAfterResponse = true;
        ResponseWriter(QPointer(this)).send(response);
        return;
    }
    if (m_parser.state() != HttpParser::State::complete)
        return;
    HttpRequest request = m_parser.take();
    if (request.header("upgrade").toLower() == "websocket" && upgrade(request))
        return;
    m_busy = true;
    m_closeAfterResponse = request.wantsClose();
    auto writer = std::make_shared<ResponseWriter>(QPointer(this));
    m_server.m_handler(std::move(request), writer);
}

// Switches the connection to WebSocket when the path takes upgrades and the
// handshake is sound. True when the request was answered here.
bool HttpConnection::upgrade(const HttpRequest &request)
{
    const WebSocketRoute *route = m_server.m_webSockets ? m_server.m_webSockets(request.path) : nullptr;
    if (!route)
        return false;
    auto refuse = [this](HttpResponse response) {
        response.headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
        m_busy = true;
        m_closeAfterResponse = true;
        ResponseWriter(QPointer(this)).send(response);
        return true;
    };
    const QByteArray key = request.header("sec-websocket-key");
    if (request.method != "GET" || request.header("sec-websocket-version") != "13" ||
        QByteArray::fromBase64(key).size() != 16) {
        HttpResponse response = HttpResponse::error(400, QStringLiteral("invalid WebSocket handshake"));
        response.headers.append(qMakePair(QByteArray("Sec-WebSocket-Version"), QByteArray("13")));
        return refuse(response);
    }
    if (route->check) {
        if (auto refusal = route->check(request))
            return refuse(*refusal);
    }
    QTcpSocket *socket = m_socket.data();
    socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: " +
                  webSocketAccept(key) + "\r\n\r\n");
    // Hand the socket over: this connection stops reading it and goes away.
    socket->disconnect(this);
    m_server.m_scheduler.cancelWake(m_idleWake);
    m_socket.clear();
    auto *ws = new WebSocketConnection(socket, m_parser.takeBuffer(), 1 << 20, &m_server);
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
            // before it reads why: its bytes are read and dropped first.
            if (m_parser.state() == HttpParser::State::error && m_parser.bodyBytesToDiscard() > 0) {
                m_closeWhenDrained = true;
                armIdleTimer();
                return;
            }
            m_socket->disconnectFromHost();
        }
        return;
    }
    armIdleTimer();
    // A request that arrived while this one was answered.
    QPointer self(this);
    m_server.m_scheduler.scheduleWake(Millis(0), [self] {
        if (self)
            self->processNext();
    });
}

} // namespace dravelin::server
