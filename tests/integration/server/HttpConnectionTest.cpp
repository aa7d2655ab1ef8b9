// The server's connection layer on raw loopback sockets, on a virtual clock:
// 100 Continue, refusals on the headers alone, when a connection ends, the
// connection cap, the bound on pipelined bytes, deadlines a slow client cannot
// stretch, WebSocket closing, and shutting down with requests under way.

#include "core/VirtualScheduler.h"
#include "http/HttpServer.h"
#include "http/WebSocket.h"
#include "support/LogCapture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;
using namespace std::chrono_literals;

namespace {

class HttpConnectionTest : public ::testing::Test
{
protected:
    void start(HttpLimits limits = {})
    {
        m_ws.open = [](const HttpRequest &request, WebSocketConnection *ws) {
            if (request.path == u"/ws")
                ws->close(1001);
        };
        http = std::make_unique<HttpServer>(
            [this](HttpRequest request, std::shared_ptr<ResponseWriter> writer) -> QCoro::Task<> {
                if (request.path == u"/hold") {
                    held.push_back(writer); // answered when the test says
                } else if (request.path == u"/slow") {
                    co_await scheduler.sleep(2s);
                    writer->send(HttpResponse::json(200, "slow"));
                } else {
                    writer->send(HttpResponse::json(200, "echo:" + request.body));
                }
            },
            scheduler, limits);
        http->setWebSocketRoutes(
            [this](const QString &path) { return path == u"/ws" || path == u"/ws-open" ? &m_ws : nullptr; });
        // /private takes only requests with the right token.
        http->setHeadCheck([](const HttpRequest &request) -> std::optional<HttpResponse> {
            if (request.path == u"/private" && request.bearerToken() != "good")
                return HttpResponse::error(401, QStringLiteral("Unauthorized"));
            return std::nullopt;
        });
        ASSERT_TRUE(http->listen(QHostAddress::LocalHost, 0));
    }

    // Runs the event loop until `done` (or a few seconds, and a few passes, go by).
    static bool waitFor(const std::function<bool()> &done, int ms = 5000)
    {
        const QDeadlineTimer deadline(ms);
        for (int pass = 0; !done() && (pass < 5 || !deadline.hasExpired()); ++pass) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return done();
    }
    // Lets the server read what was sent.
    static void settle()
    {
        waitFor([] { return false; }, 100);
    }

    std::unique_ptr<QTcpSocket> client(const QByteArray &send = {})
    {
        auto socket = std::make_unique<QTcpSocket>();
        bool connected = false; // and perhaps already closed again
        const auto watch = QObject::connect(socket.get(), &QTcpSocket::connected, [&connected] { connected = true; });
        socket->connectToHost(QHostAddress::LocalHost, http->port());
        EXPECT_TRUE(waitFor([&] { return connected; }));
        QObject::disconnect(watch);
        if (!send.isEmpty())
            socket->write(send);
        return socket;
    }
    // What the server sent until `until` appears (or it closed).
    static QByteArray read(QTcpSocket &socket, const QByteArray &until)
    {
        QByteArray got;
        waitFor([&] {
            got += socket.readAll();
            return got.contains(until) || socket.state() == QAbstractSocket::UnconnectedState;
        });
        return got;
    }
    static bool closedByServer(QTcpSocket &socket, int ms = 5000)
    {
        return waitFor(
            [&] {
                socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            ms);
    }

    VirtualScheduler scheduler;
    WebSocketRoute m_ws;
    std::unique_ptr<HttpServer> http;
    std::vector<std::shared_ptr<ResponseWriter>> held;
};

} // namespace

TEST_F(HttpConnectionTest, ContinueIsSentOnlyForABodyThatWillBeTaken)
{
    HttpLimits limits;
    limits.maxBodyBytes = 100;
    start(limits);
    auto socket = client("POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(read(*socket, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    socket->write("hello");
    const QByteArray answer = read(*socket, "echo:hello");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK\r\n")) << answer.constData();
    // A chunked body on the same connection.
    socket->write("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
    EXPECT_TRUE(read(*socket, "echo:abc").endsWith("echo:abc"));

    // Refusals come at once, and the connection ends without waiting for a
    // body the client will not send.
    for (const auto &[head, status] : std::vector<std::pair<QByteArray, QByteArray>>{
             {"POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 500\r\n\r\n", "413"},
             {"POST /echo HTTP/1.1\r\nExpect: a-miracle\r\nContent-Length: 5\r\n\r\n", "417"}}) {
        auto refused = client(head);
        const QByteArray got = read(*refused, "\r\n\r\n");
        EXPECT_TRUE(got.startsWith(QByteArray("HTTP/1.1 " + status))) << got.constData();
        EXPECT_TRUE(closedByServer(*refused)) << status.constData();
    }
}

TEST_F(HttpConnectionTest, AnUploadWithoutAValidTokenIsRefusedBeforeItsBody)
{
    start();
    // Waiting for 100 Continue: refused instead, and the body never sent.
    auto waiting = client("POST /private HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    const QByteArray refused = read(*waiting, "Unauthorized");
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 401")) << refused.constData();
    EXPECT_TRUE(closedByServer(*waiting));

    // Already sending: answered before the body is in, the rest read and
    // dropped, then closed.
    auto sending = client("POST /private HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + QByteArray(1000, 'x'));
    const QByteArray early = read(*sending, "Unauthorized");
    EXPECT_TRUE(early.startsWith("HTTP/1.1 401")) << early.constData();
    EXPECT_TRUE(early.contains("Connection: close"));
    settle();
    EXPECT_EQ(sending->state(), QAbstractSocket::ConnectedState);
    sending->write(QByteArray(99000, 'x'));
    EXPECT_TRUE(closedByServer(*sending));

    // The right token gets its go-ahead and its answer.
    auto allowed = client("POST /private HTTP/1.1\r\nAuthorization: Bearer good\r\nExpect: 100-continue\r\n"
                          "Content-Length: 2\r\n\r\n");
    EXPECT_EQ(read(*allowed, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    allowed->write("ok");
    EXPECT_TRUE(read(*allowed, "echo:ok").endsWith("echo:ok"));
}

TEST_F(HttpConnectionTest, TheConnectionEndsWhenTheClientSaysSo)
{
    start();
    struct Case
    {
        QByteArray request;
        QByteArray header;
        bool closes;
    };
    for (const Case &c : std::vector<Case>{
             {"GET /a HTTP/1.0\r\n\r\n", "Connection: close", true},
             {"GET /a HTTP/1.1\r\nConnection: close\r\n\r\n", "Connection: close", true},
             {"GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "Connection: keep-alive", false},
             {"GET /a HTTP/1.1\r\n\r\n", "Content-Length: 5", false},
         }) {
        auto socket = client(c.request);
        const QByteArray got = read(*socket, "echo:");
        EXPECT_TRUE(got.startsWith("HTTP/1.1 200")) << got.constData();
        EXPECT_TRUE(got.contains(QByteArray(c.header + "\r\n"))) << got.constData();
        EXPECT_EQ(closedByServer(*socket, c.closes ? 5000 : 200), c.closes) << c.request.constData();
    }
}

TEST_F(HttpConnectionTest, ConnectionsBeyondTheCapAreTurnedAwayAndLogged)
{
    HttpLimits limits;
    limits.maxConnections = 2;
    start(limits);
    test::LogCapture logs;
    auto first = client("GET /a HTTP/1.1\r\n\r\n");
    auto second = client("GET /a HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(read(*first, "echo:").endsWith("echo:"));
    ASSERT_TRUE(read(*second, "echo:").endsWith("echo:"));
    auto third = client();
    const QByteArray refused = read(*third, "\r\n\r\n");
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 503")) << refused.constData();
    EXPECT_TRUE(refused.contains("Retry-After: "));
    EXPECT_TRUE(closedByServer(*third));
    EXPECT_EQ(logs.messages(QStringLiteral("app")).filter(QStringLiteral("127.0.0.1")).size(), 1);

    first->disconnectFromHost(); // its place is free again
    EXPECT_TRUE(closedByServer(*first));
    settle();
    auto fourth = client("GET /a HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(read(*fourth, "echo:").startsWith("HTTP/1.1 200"));
}

TEST_F(HttpConnectionTest, PipelinedBytesWaitForTheAnswerUpToABound)
{
    HttpLimits limits;
    limits.maxHeaderBytes = 512;
    limits.maxBodyBytes = 100;
    start(limits);
    auto patient = client("GET /hold HTTP/1.1\r\n\r\nPOST /echo HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
    settle();
    ASSERT_EQ(held.size(), 1u);
    held[0]->send(HttpResponse::json(200, "first"));
    scheduler.runPending();
    const QByteArray both = read(*patient, "echo:hi");
    EXPECT_TRUE(both.contains("first") && both.endsWith("echo:hi")) << both.constData();

    // Past the header and body limits together, a client sending ahead of
    // its answer is cut off.
    auto flooding = client("GET /hold HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\n\r\n" + QByteArray(700, 'x'));
    EXPECT_TRUE(closedByServer(*flooding));
    EXPECT_FALSE(held.back()->isOpen());
}

TEST_F(HttpConnectionTest, SlowSendersMeetDeadlinesThatBytesDoNotMove)
{
    start();
    struct Case
    {
        QByteArray first;
        Millis before;     // this long after the first bytes…
        QByteArray second; // …these arrive (or none)…
        Millis after;      // …and the connection is over this long after that
        QByteArray answer;
    };
    for (const Case &c : std::vector<Case>{
             {"GET /a HTTP/1.1\r\nX-Slow: ", 9s, "b", 1500ms, "HTTP/1.1 408"},
             {"POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\nb", 20s, "b", 11s, "HTTP/1.1 408"},
             {"GET /a HTTP/1.1\r\n\r\n", 29s, "", 1500ms, ""}, // answered, then idle: closed quietly
         }) {
        auto socket = client(c.first);
        settle();
        scheduler.advance(c.before);
        socket->write(c.second);
        settle();
        EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState) << c.first.constData();
        QByteArray got = socket->readAll();
        scheduler.advance(c.after);
        got += read(*socket, "\r\n\r\n");
        EXPECT_TRUE(got.startsWith(c.answer)) << got.constData();
        EXPECT_TRUE(closedByServer(*socket)) << c.first.constData();
    }
}

TEST_F(HttpConnectionTest, AWebSocketPeerThatNeverAnswersTheCloseFrameIsDropped)
{
    start();
    auto socket = client("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    const QByteArray got = read(*socket, "\x88\x02\x03\xe9"); // our close frame, code 1001
    ASSERT_TRUE(got.startsWith("HTTP/1.1 101")) << got.constData();
    scheduler.advance(WebSocketConnection::closeTimeout - 100ms);
    EXPECT_FALSE(closedByServer(*socket, 200));
    scheduler.advance(200ms);
    EXPECT_TRUE(closedByServer(*socket));
}

TEST_F(HttpConnectionTest, ACloseFrameWithAnInvalidCodeIsAnsweredAsAProtocolError)
{
    start();
    // Masked with a zero key, so the payload reads as sent.
    const auto closeFrame = [](const QByteArray &payload) -> QByteArray {
        return QByteArray("\x88") + char(0x80 | payload.size()) + QByteArray(4, '\0') + payload;
    };
    // The code our close frame answers with (any reason text follows it).
    for (const auto &[sent, code] : std::vector<std::pair<QByteArray, QByteArray>>{
             {QByteArray("\x0f\xa0", 2), QByteArray("\x0f\xa0", 2)}, // 4000: echoed
             {QByteArray("\x03\xe7", 2), QByteArray("\x03\xea", 2)}, // 999: 1002
             {QByteArray("\x03\xee", 2), QByteArray("\x03\xea", 2)}, // 1006 (never sent): 1002
             {QByteArray("\x03", 1), QByteArray("\x03\xea", 2)},     // one byte: 1002
         }) {
        auto socket = client("GET /ws-open HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        QByteArray got = read(*socket, "\r\n\r\n");
        ASSERT_TRUE(got.startsWith("HTTP/1.1 101")) << got.constData();
        socket->write(closeFrame(sent));
        got = read(*socket, "\x88");
        EXPECT_TRUE(got.startsWith('\x88') && got.mid(2, 2) == code)
            << sent.toHex().constData() << " got " << got.toHex().constData();
    }
}

TEST_F(HttpConnectionTest, ShutdownLetsRequestsUnderWayFinishForAWhile)
{
    start();
    auto idle = client("GET /a HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(read(*idle, "echo:").endsWith("echo:"));
    auto slow = client("GET /slow HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return http->handlersRunning() == 1; }));
    const quint16 port = http->port();
    int done = 0;
    http->shutdown(5s, [&done] { ++done; });
    EXPECT_TRUE(closedByServer(*idle)); // between requests: closed at once
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_FALSE(late.waitForConnected(1000)); // no longer listening
    scheduler.runPending();
    EXPECT_EQ(done, 0);
    scheduler.advance(2s); // the handler answers, and its connection ends
    const QByteArray answer = read(*slow, "slow");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200") && answer.contains("Connection: close")) << answer.constData();
    EXPECT_TRUE(closedByServer(*slow));
    EXPECT_EQ(done, 1);

    // A handler that outlasts the grace period does not hold the exit.
    start();
    auto stuck = client("GET /slow HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitFor([&] { return http->handlersRunning() == 1; }));
    done = 0;
    http->shutdown(1s, [&done] { ++done; });
    scheduler.advance(999ms);
    EXPECT_EQ(done, 0);
    scheduler.advance(1ms);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(http->handlersRunning(), 1);
}
