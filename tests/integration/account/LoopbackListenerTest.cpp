// The sign-in loopback listener over real TCP: pages and statuses per
// request, the first callback wins, early callbacks are kept, a busy port and
// a timeout fail clearly.

#include "account/OAuthLoopbackListener.h"
#include "core/QtScheduler.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

// Sends raw bytes and returns the whole answer.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write(request);
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        socket.waitForReadyRead(10);
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

} // namespace

TEST(LoopbackListenerTest, AnswersEachRequestAndHandsOverTheFirstCallback)
{
    QtScheduler scheduler;
    OAuthLoopbackListener listener(0, scheduler);
    ASSERT_TRUE(listener.start());
    const quint16 port = listener.port();

    const QByteArray favicon = exchange(port, "GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(favicon.startsWith("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_TRUE(favicon.endsWith(OAuthLoopbackListener::notFoundPage()));
    const QByteArray post = exchange(port, "POST /oauth/callback?code=a HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(post.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_TRUE(post.contains("Referrer-Policy: no-referrer\r\n"));
    const QByteArray huge = exchange(port, "GET /oauth/callback?code=" + QByteArray(20000, 'a'));
    EXPECT_TRUE(huge.startsWith("HTTP/1.1 400 Bad Request\r\n"));

    // A callback with another state (forged by some other local program) is
    // refused and does not end the sign-in; a callback before anybody waits
    // is kept for the wait.
    listener.setExpectedState(QStringLiteral("xyz"));
    const QByteArray forged = exchange(port, "GET /oauth/callback?code=evil&state=abc HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(forged.startsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_TRUE(listener.isListening());
    const QByteArray ok = exchange(port, "GET /oauth/callback?code=abc&state=xyz HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(ok.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(ok.endsWith(OAuthLoopbackListener::returnPage()));
    EXPECT_FALSE(listener.isListening()); // one callback, then the port is closed
    const auto result = QCoro::waitFor(listener.waitForCallback(5s));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, QStringLiteral("abc"));
    EXPECT_EQ(result->state, QStringLiteral("xyz"));
}

TEST(LoopbackListenerTest, BusyPortAndTimeoutFailClearly)
{
    QtScheduler scheduler;
    OAuthLoopbackListener first(0, scheduler);
    ASSERT_TRUE(first.start());
    OAuthLoopbackListener second(first.port(), scheduler);
    const auto busy = second.start();
    ASSERT_FALSE(busy);
    EXPECT_EQ(busy.error().kind, OAuthLoopbackError::Kind::couldNotStart);
    EXPECT_TRUE(busy.error().description().startsWith(QStringLiteral("Could not start secure sign-in: ")));

    const auto timedOut = QCoro::waitFor(first.waitForCallback(200ms));
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(timedOut.error().description(), QStringLiteral("Sign-in timed out. Please try again."));
    first.finish(OAuthLoopbackCallback{QStringLiteral("late"), {}, {}, {}}); // later results are dropped
    EXPECT_FALSE(QCoro::waitFor(first.waitForCallback(1s)));
}
