// The server's WebSocket upgrade against Qt's WebSocket client: handshake,
// text and binary echo (large messages included), ping, close handshake, and
// a refused handshake.

#include "http/WebSocket.h"
#include "core/QtScheduler.h"
#include "http/HttpServer.h"
#include "http/Router.h"

#include <QSignalSpy>
#include <QWebSocket>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;

namespace {

class WebSocketServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        router.addWebSocket(QStringLiteral("/echo"),
                            WebSocketRoute{[](const HttpRequest &request) -> std::optional<HttpResponse> {
                                               if (request.bearerToken() != "good")
                                                   return HttpResponse::error(401, QStringLiteral("Unauthorized"));
                                               return std::nullopt;
                                           },
                                           [](const HttpRequest &, WebSocketConnection *ws) {
                                               QObject::connect(ws, &WebSocketConnection::textMessage, ws,
                                                                [ws](const QString &t) { ws->sendText(t.toUpper()); });
                                               QObject::connect(ws, &WebSocketConnection::binaryMessage, ws,
                                                                [ws](const QByteArray &b) { ws->sendBinary(b); });
                                           }});
        http = std::make_unique<HttpServer>(
            [this](HttpRequest request, std::shared_ptr<ResponseWriter> writer) {
                return router.dispatch(std::move(request), std::move(writer));
            },
            scheduler);
        http->setWebSocketRoutes([this](const QString &path) { return router.webSocket(path); });
        ASSERT_TRUE(http->listen(QHostAddress::LocalHost, 0));
    }

    QNetworkRequest request(const QByteArray &token) const
    {
        QNetworkRequest r(QUrl(QStringLiteral("ws://127.0.0.1:%1/echo").arg(http->port())));
        r.setRawHeader("Authorization", "Bearer " + token);
        return r;
    }

    QtScheduler scheduler;
    Router router;
    std::unique_ptr<HttpServer> http;
};

} // namespace

TEST_F(WebSocketServerTest, EchoesTextAndLargeBinaryAndClosesCleanly)
{
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    QSignalSpy text(&client, &QWebSocket::textMessageReceived);
    QSignalSpy binary(&client, &QWebSocket::binaryMessageReceived);
    QSignalSpy pong(&client, &QWebSocket::pong);
    client.open(request("good"));
    ASSERT_TRUE(connected.wait(5000));
    client.sendTextMessage(QStringLiteral("hello"));
    ASSERT_TRUE(text.wait(5000));
    EXPECT_EQ(text.at(0).at(0).toString(), QStringLiteral("HELLO"));
    QByteArray large(200000, '\0');
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7);
    client.sendBinaryMessage(large);
    ASSERT_TRUE(binary.wait(5000));
    EXPECT_EQ(binary.at(0).at(0).toByteArray(), large);
    client.ping("are you there");
    ASSERT_TRUE(pong.wait(5000));
    QSignalSpy disconnected(&client, &QWebSocket::disconnected);
    client.close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("bye"));
    // The close handshake may already be over when close() returns.
    ASSERT_TRUE(disconnected.count() > 0 || disconnected.wait(5000));
    EXPECT_EQ(client.state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(client.closeCode(), QWebSocketProtocol::CloseCodeNormal);
}

TEST_F(WebSocketServerTest, RefusedHandshakeNeverUpgrades)
{
    QWebSocket client;
    QSignalSpy errors(&client, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error));
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(request("bad"));
    ASSERT_TRUE(errors.wait(5000));
    EXPECT_EQ(connected.count(), 0);
}
