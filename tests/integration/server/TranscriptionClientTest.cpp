// The app's transcription client against the real dravelin-server, and against
// scripted servers that misbehave: a closed port, garbage NDJSON lines, a 502,
// a connection cut mid-stream.

#include "DravelinServer.h"
#include "account/AppConstants.h"
#include "account/TokenSource.h"
#include "auth/Jwt.h"
#include "core/QtScheduler.h"
#include "core/VirtualScheduler.h"
#include "stt/TranscriptionService.h"
#include "support/FixedToken.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/Speech.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;

namespace {

// Answers every connection with the same raw bytes, then (if given) more
// bytes 200 ms later, then closes — possibly in the middle of a body. One that
// holds the line open says nothing more and never closes.
class ScriptedServer
{
public:
    explicit ScriptedServer(QByteArray reply, QByteArray later = {}, bool holdOpen = false)
        : m_reply(std::move(reply))
        , m_later(std::move(later))
        , m_holdOpen(holdOpen)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                m_request += socket->readAll();
                if (!m_request.contains("--\r\n"))
                    return; // until the whole multipart body is in
                socket->write(m_reply);
                socket->flush();
                if (m_holdOpen)
                    return;
                if (m_later.isEmpty()) {
                    socket->disconnectFromHost();
                    return;
                }
                QTimer::singleShot(200, socket, [this, socket] {
                    socket->write(m_later);
                    socket->flush();
                    socket->disconnectFromHost();
                });
            });
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl url() const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/functions/v1/transcribe").arg(m_server.serverPort()));
    }
    bool hasWholeRequest() const { return m_request.contains("--\r\n"); }

private:
    QTcpServer m_server;
    QByteArray m_reply;
    QByteArray m_later;
    bool m_holdOpen = false;
    QByteArray m_request;
};

struct StreamOutcome
{
    QStringList stages;
    std::optional<TranscriptionError> error;
    bool ended = false;
};

QCoro::Task<> collect(std::unique_ptr<TranscriptionStream> stream, StreamOutcome &out)
{
    for (;;) {
        auto item = co_await stream->next();
        if (!item) {
            out.ended = true;
            co_return;
        }
        if (!*item) {
            out.error = item->error();
            co_return;
        }
        out.stages << (*item)->stage;
    }
}

StreamOutcome runStream(TranscriptionService &service, const TranscriptionRequest &request)
{
    StreamOutcome out;
    bool done = false;
    auto task = [](TranscriptionService &s, TranscriptionRequest r, StreamOutcome &o, bool &d) -> QCoro::Task<> {
        co_await collect(s.transcribeStreaming(std::move(r)), o);
        d = true;
    }(service, request, out, done);
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return out;
}

// Runs the event loop (and what is due on the virtual clock) until `started`,
// then moves the virtual clock in 100 ms steps, the network events between
// them, until `done` or `limit` has passed on it.
void pumpVirtual(VirtualScheduler &clock, const std::function<bool()> &started, Millis limit,
                 const std::function<bool()> &done)
{
    QElapsedTimer wall;
    wall.start();
    while (!started() && wall.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        clock.runPending();
    }
    const Millis end = clock.monotonicNow() + limit;
    while (!done() && clock.monotonicNow() < end) {
        QCoreApplication::processEvents();
        clock.advance(Millis(100));
    }
    QCoreApplication::processEvents();
}

TranscriptionRequest speechRequest(const QByteArray &audio)
{
    TranscriptionRequest r;
    r.audio = audio;
    r.durationMs = 3000;
    r.cleanupEnabled = true;
    r.clientRecordingId = QUuid::createUuid();
    return r;
}

class TranscriptionClientTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_speech = new QByteArray(test::synthesizeSpeech(s_dir->filePath(QStringLiteral("s.wav")),
                                                         QStringLiteral("Hello world. This is a test of the server.")));
    }
    static void TearDownTestSuite()
    {
        delete s_speech;
        delete s_dir;
    }

    static QTemporaryDir *s_dir;
    static QByteArray *s_speech;
    QtScheduler scheduler;
};

QTemporaryDir *TranscriptionClientTest::s_dir = nullptr;
QByteArray *TranscriptionClientTest::s_speech = nullptr;

} // namespace

TEST_F(TranscriptionClientTest, TranscribesThroughTheLocalServerBothWays)
{
    QTemporaryDir data;
    server::ServerConfig config;
    config.port = 0;
    config.dataDir = data.path();
    auto srv = server::DravelinServer::create(config, scheduler);
    ASSERT_TRUE(srv);
    ASSERT_TRUE((*srv)->listen());
    test::HttpTestClient http(QStringLiteral("http://127.0.0.1:%1").arg((*srv)->port()));
    FixedToken token(test::signInForAccessToken(http));

    AppConstants constants;
    constants.baseURL = QUrl(QStringLiteral("http://127.0.0.1:%1").arg((*srv)->port()));
    TranscriptionService service(constants.transcribeEndpoint(), token, scheduler);
    const auto reply = QCoro::waitFor(service.transcribe(speechRequest(*s_speech)));
    ASSERT_TRUE(reply) << qPrintable(reply.error().description());
    EXPECT_TRUE(reply->raw.contains(QStringLiteral("hello"), Qt::CaseInsensitive)) << qPrintable(reply->raw);
    EXPECT_EQ(reply->cleaned, reply->text != reply->raw);
    EXPECT_EQ(reply->engine, (*srv)->engineName());

    TranscriptionRequest streaming = speechRequest(*s_speech);
    streaming.streamCleanup = true;
    const StreamOutcome out = runStream(service, streaming);
    EXPECT_TRUE(out.ended);
    EXPECT_FALSE(out.error);
    EXPECT_EQ(out.stages, (QStringList{QStringLiteral("raw"), QStringLiteral("cleaned")}));

    FixedToken expired(QStringLiteral("not.a.token"));
    TranscriptionService refused(constants.transcribeEndpoint(), expired, scheduler);
    const auto unauthorized = QCoro::waitFor(refused.transcribe(speechRequest(*s_speech)));
    ASSERT_FALSE(unauthorized);
    EXPECT_EQ(unauthorized.error().kind, TranscriptionError::Kind::unauthorized);
}

TEST_F(TranscriptionClientTest, NoTokenSendsNothingAndADeadPortIsANetworkError)
{
    FixedToken empty{QString()};
    ScriptedServer never("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
    TranscriptionService noToken(never.url(), empty, scheduler);
    const auto notSignedIn = QCoro::waitFor(noToken.transcribe(speechRequest("x")));
    ASSERT_FALSE(notSignedIn);
    EXPECT_EQ(notSignedIn.error().kind, TranscriptionError::Kind::notAuthenticated);

    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 port = closed.serverPort();
    closed.close();
    FixedToken token(QStringLiteral("t"));
    TranscriptionService dead(QUrl(QStringLiteral("http://127.0.0.1:%1/functions/v1/transcribe").arg(port)), token,
                              scheduler);
    const auto down = QCoro::waitFor(dead.transcribe(speechRequest("x")));
    ASSERT_FALSE(down);
    EXPECT_EQ(down.error().kind, TranscriptionError::Kind::network);
    const StreamOutcome streamDown = runStream(dead, speechRequest("x"));
    ASSERT_TRUE(streamDown.error);
    EXPECT_EQ(streamDown.error->kind, TranscriptionError::Kind::network) << qPrintable(streamDown.error->description());
}

TEST_F(TranscriptionClientTest, GarbageLinesAreSkippedA502IsAProviderFailureAndACutStreamIsAnError)
{
    FixedToken token(QStringLiteral("t"));
    const QByteArray lines =
        "\n{\"stage\":\"raw\",\"cleaned\":\"yes\"}\nnot json\n{\"stage\":\"raw\",\"text\":\"hi\"}\n"
        "{\"stage\":\"cleaned\",\"text\":\"Hi.\",\"cleaned\":true}\n";
    ScriptedServer garbage("HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nContent-Length: " +
                           QByteArray::number(lines.size()) + "\r\nConnection: close\r\n\r\n" + lines);
    TranscriptionService service(garbage.url(), token, scheduler);
    const StreamOutcome out = runStream(service, speechRequest("x"));
    EXPECT_TRUE(out.ended);
    EXPECT_EQ(out.stages, (QStringList{QStringLiteral("raw"), QStringLiteral("cleaned")}));

    const QByteArray envelope = R"({"error":"x"})";
    ScriptedServer failing("HTTP/1.1 502 Bad Gateway\r\nContent-Type: application/json\r\nContent-Length: " +
                           QByteArray::number(envelope.size()) + "\r\nConnection: close\r\n\r\n" + envelope);
    TranscriptionService provider(failing.url(), token, scheduler);
    const auto single = QCoro::waitFor(provider.transcribe(speechRequest("x")));
    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().description(), QStringLiteral("Transcription failed: x"));
    const StreamOutcome streamed = runStream(provider, speechRequest("x"));
    ASSERT_TRUE(streamed.error);
    EXPECT_EQ(streamed.error->description(), QStringLiteral("Transcription failed: x"));

    ScriptedServer cut("HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "16\r\n{\"stage\":\"raw\",\"x\":1}\n\r\n",
                       "3e8\r\n{\"stage\":\"cle");
    TranscriptionService cutService(cut.url(), token, scheduler);
    const StreamOutcome broken = runStream(cutService, speechRequest("x"));
    EXPECT_EQ(broken.stages, QStringList{QStringLiteral("raw")});
    ASSERT_TRUE(broken.error);
    EXPECT_EQ(broken.error->kind, TranscriptionError::Kind::network);
}

TEST_F(TranscriptionClientTest, AnUploadLeftWithoutAnAnswerGivesUpAfterTwoMinutesBothWays)
{
    FixedToken token(QStringLiteral("t"));
    VirtualScheduler clock;
    // The whole upload arrives, and then nothing: a transfer timeout never
    // fires while the line trickles, so only the overall limit ends it.
    ScriptedServer silent({}, {}, true);
    TranscriptionService service(silent.url(), token, clock);
    std::optional<Expected<TranscriptionResponse, TranscriptionError>> single;
    auto task = [](TranscriptionService &s, auto &out) -> QCoro::Task<> {
        auto upload = s.transcribe(speechRequest("x"));
        out = co_await upload;
    }(service, single);
    const auto uploaded = [&silent] { return silent.hasWholeRequest(); };
    const auto answered = [&single] { return single.has_value(); };
    pumpVirtual(clock, uploaded, Millis(119900), answered);
    EXPECT_FALSE(single);
    pumpVirtual(clock, uploaded, Millis(1000), answered);
    ASSERT_TRUE(single);
    ASSERT_FALSE(*single);
    EXPECT_EQ(single->error().description(), QStringLiteral("Network error: Operation canceled"));

    // Streaming: the headers and a first event, then silence.
    ScriptedServer stalled("HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "16\r\n{\"stage\":\"raw\",\"x\":1}\n\r\n",
                           {}, true);
    TranscriptionService streaming(stalled.url(), token, clock);
    StreamOutcome out;
    bool done = false;
    auto streamTask = [](TranscriptionService &s, StreamOutcome &o, bool &d) -> QCoro::Task<> {
        auto events = collect(s.transcribeStreaming(speechRequest("x")), o);
        co_await events;
        d = true;
    }(streaming, out, done);
    pumpVirtual(
        clock, [&out] { return !out.stages.isEmpty(); }, Millis(121000), [&done] { return done; });
    ASSERT_TRUE(done);
    EXPECT_EQ(out.stages, QStringList{QStringLiteral("raw")});
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->description(), QStringLiteral("Network error: Operation canceled"));
}
