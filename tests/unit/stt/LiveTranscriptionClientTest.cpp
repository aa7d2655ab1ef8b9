// The live transcription client against a real WebSocket server on a
// loopback port that answers as each test scripts it. Network events run on
// the Qt event loop; every timeout runs on the virtual clock.

#include "stt/LiveTranscriptionClient.h"

#include "core/Json.h"
#include "core/VirtualScheduler.h"
#include "support/LogCapture.h"

#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

// Accepts one client, remembers what it sent, and runs `onText` for each text message.
class ScriptedLiveServer
{
public:
    ScriptedLiveServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            peer = server.nextPendingConnection();
            peer->setParent(&server); // the caller owns accepted sockets
            request = peer->request();
            QObject::connect(peer, &QWebSocket::textMessageReceived, [this](const QString &text) {
                texts << text;
                if (onText)
                    onText(text);
            });
            QObject::connect(peer, &QWebSocket::binaryMessageReceived, [this](const QByteArray &frame) {
                audio += frame;
                ++frames;
            });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/transcribe-stream").arg(server.serverPort())); }
    void say(const QByteArray &json) { peer->sendTextMessage(QString::fromUtf8(json)); }

    QWebSocketServer server{QStringLiteral("scripted"), QWebSocketServer::NonSecureMode};
    QPointer<QWebSocket> peer;
    QNetworkRequest request;
    QStringList texts;
    QByteArray audio;
    int frames = 0;
    std::function<void(const QString &)> onText;
};

template <typename T>
struct Outcome
{
    std::optional<T> value;
    int resumes = 0;
};

template <typename T>
QCoro::Task<> collect(QCoro::Task<T> task, Outcome<T> &out)
{
    out.value = co_await task;
    ++out.resumes;
}

class LiveClientTest : public ::testing::Test
{
protected:
    // Runs the event loop and the virtual clock's due work until `done`.
    bool pumpUntil(const std::function<bool()> &done)
    {
        return QTest::qWaitFor(
            [&] {
                scheduler.runPending();
                return done();
            },
            5000);
    }
    Outcome<Expected<void, LiveTranscriptionError>> start(LiveTranscriptionClient &client,
                                                          LiveSessionOptions options = {})
    {
        options.token = QStringLiteral("tok-123");
        options.onRaw = [this](QString text) { raws << text; };
        options.onSpeech = [this] { ++speeches; };
        Outcome<Expected<void, LiveTranscriptionError>> out;
        collect(client.start(std::move(options)), out);
        pumpUntil([&] { return out.resumes > 0; });
        return out;
    }

    LogCapture logs;
    VirtualScheduler scheduler;
    ScriptedLiveServer server;
    QStringList raws;
    int speeches = 0;
};

const QString kWs = QStringLiteral("live-ws");

} // namespace

TEST_F(LiveClientTest, StreamsTheSessionAndDeliversTheFinal)
{
    QUrl endpoint = server.url();
    endpoint.setQuery(QStringLiteral("project=p1"));
    const QStringList vocabulary{QStringLiteral("C++"), QStringLiteral("R&D=1"), QStringLiteral("Qt Creator")};
    LiveTranscriptionClient client(endpoint, vocabulary, scheduler);
    EXPECT_EQ(LiveTranscriptionClient::connectionUrl(server.url(), {}), server.url());

    LiveSessionOptions options;
    options.cleanup = false;
    options.fillerWords = QStringList{QStringLiteral("um")};
    options.appBundleID = QStringLiteral("org.example.Editor");
    options.clientRecordingId = QUuid(QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}"));
    const auto started = start(client, options);
    ASSERT_TRUE(started.value && *started.value);
    EXPECT_EQ(server.request.rawHeader("Authorization"), QByteArray("Bearer tok-123"));
    const QUrlQuery query(server.request.url());
    EXPECT_EQ(query.queryItemValue(QStringLiteral("project")), QStringLiteral("p1"));
    EXPECT_EQ(query.allQueryItemValues(QStringLiteral("vocab"), QUrl::FullyDecoded), vocabulary);
    ASSERT_TRUE(pumpUntil([&] { return server.texts.size() == 1; }));
    EXPECT_EQ(server.texts[0], QStringLiteral(R"({"type":"start","encoding":"linear16","sample_rate":16000,)"
                                              R"("channels":1,"cleanup":false,"fillerWords":["um"],)"
                                              R"("app_bundle_id":"org.example.Editor",)"
                                              R"("clientRecordingId":"6F9619FF-8B86-D011-B42D-00C04FC964FF"})"));

    for (const char *hex : {"01000200", "0300", "04000500"})
        client.send(QByteArray::fromHex(hex));
    server.onText = [&](const QString &) {
        server.say(R"({"type":"partial","text":"hello"})");
        server.say(R"({"type":"raw","text":"hello world"})");
        server.say(
            R"({"type":"final","text":"Hello world.","retainRecording":true,)"
            R"("recordingUploadUrl":" https://up/1 ","recordingObjectKey":"u/1.m4a",)"
            R"("debug":{"speculative":"none","dg_final_ms":310,"cleanup_ms":2,"finals":1,"recovered_finals":0}})");
    };
    Outcome<std::optional<QString>> final;
    collect(client.finalize(4500ms), final);
    client.send(QByteArray("late", 4)); // after finalize: dropped
    ASSERT_TRUE(pumpUntil([&] { return final.resumes > 0; }));
    EXPECT_EQ(*final.value, QStringLiteral("Hello world."));
    EXPECT_EQ(server.audio, QByteArray::fromHex("01000200030004000500"));
    EXPECT_EQ(server.frames, 3);
    EXPECT_EQ(server.texts.last(), QStringLiteral(R"({"type":"finalize"})"));
    EXPECT_EQ(raws, QStringList{QStringLiteral("hello world")});
    EXPECT_EQ(speeches, 1);
    EXPECT_TRUE(client.retainRecording());
    EXPECT_EQ(client.recordingUploadUrl(), QStringLiteral("https://up/1"));
    EXPECT_EQ(client.recordingObjectKey(), QStringLiteral("u/1.m4a"));
    EXPECT_TRUE(
        logs.has(kWs, QStringLiteral("⏱ server: speculative=none dg_final=310ms cleanup=2ms finals=1 recovered=0")));

    // A second finalize answers from what arrived, sending nothing.
    Outcome<std::optional<QString>> again;
    collect(client.finalize(4500ms), again);
    EXPECT_EQ(again.resumes, 1);
    EXPECT_EQ(*again.value, QStringLiteral("Hello world."));
    QTest::qWait(50);
    EXPECT_EQ(server.texts.size(), 2);
    EXPECT_EQ(final.resumes, 1);
}

TEST_F(LiveClientTest, ServerMessagesAreReadLeniently)
{
    LiveTranscriptionClient client(server.url(), {}, scheduler);
    ASSERT_TRUE(*start(client).value);
    ASSERT_TRUE(pumpUntil([&] { return server.peer; }));
    server.say(R"({"type":"partial","text":"   "})");
    ASSERT_TRUE(pumpUntil([&] { return client.latestPartial() == QStringLiteral("   "); }));
    EXPECT_EQ(speeches, 0); // blank is not speech
    server.say(R"({"type":"partial","text":"one"})");
    server.say(R"({"type":"partial"})"); // keeps the last partial
    server.peer->sendBinaryMessage(R"({"type":"partial","text":"one two"})");
    server.peer->sendBinaryMessage(QByteArray("\xff\xfe{", 3)); // not UTF-8: ignored
    server.say("not json");
    server.say(R"({"type":"partial","text":7})");
    server.say(R"({"type":"raw"})");
    server.say(R"({"type":"mystery"})");
    server.onText = [&](const QString &) {
        server.say(R"({"type":"final","text":"","debug":"fast","retainRecording":"yes","recordingUploadUrl":"  "})");
    };
    Outcome<std::optional<QString>> final;
    collect(client.finalize(4500ms), final);
    ASSERT_TRUE(pumpUntil([&] { return final.resumes > 0; }));

    EXPECT_EQ(*final.value, QString());
    EXPECT_TRUE(client.receivedFinal());
    EXPECT_FALSE(client.hasFailed());
    EXPECT_EQ(client.latestPartial(), QStringLiteral("one two"));
    EXPECT_EQ(speeches, 1);
    EXPECT_TRUE(raws.isEmpty());
    EXPECT_FALSE(client.rawText());
    EXPECT_FALSE(client.retainRecording());
    EXPECT_FALSE(client.recordingUploadUrl());
    EXPECT_EQ(logs.messages(kWs).filter(QStringLiteral("ws undecodable frame: ")).size(), 2);
    EXPECT_TRUE(logs.has(kWs, QStringLiteral("ws ignored frame type: mystery")));
    EXPECT_TRUE(logs.has(kWs, QStringLiteral("Speech confirmed by transcript")));
    EXPECT_TRUE(logs.hasPrefix(kWs, QStringLiteral("⏱ first_partial at ")));
    EXPECT_FALSE(logs.hasPrefix(kWs, QStringLiteral("⏱ server:")));
}

TEST_F(LiveClientTest, ConnectionsThatNeverOpenFailTheStart)
{
    QTcpServer silent; // accepts, never answers the handshake
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    LiveTranscriptionClient stalled(QUrl(QStringLiteral("ws://127.0.0.1:%1/s").arg(silent.serverPort())), {},
                                    scheduler);
    Outcome<Expected<void, LiveTranscriptionError>> out;
    collect(stalled.start({}), out);
    QTest::qWait(100);
    scheduler.advance(14999ms);
    EXPECT_EQ(out.resumes, 0);
    scheduler.advance(1ms);
    ASSERT_EQ(out.resumes, 1);
    EXPECT_EQ(out.value->error().kind, LiveTranscriptionError::Kind::connectFailed);
    EXPECT_TRUE(logs.has(kWs, QStringLiteral("ws start send failed: no handshake within 15000 ms")));

    const quint16 closedPort = server.server.serverPort();
    server.server.close();
    LiveTranscriptionClient refused(QUrl(QStringLiteral("ws://127.0.0.1:%1/s").arg(closedPort)), {}, scheduler);
    const auto failed = start(refused);
    ASSERT_TRUE(failed.value);
    EXPECT_FALSE(*failed.value);
    Outcome<std::optional<QString>> final;
    collect(refused.finalize(4500ms), final); // a failed client answers at once
    EXPECT_EQ(final.resumes, 1);
    EXPECT_FALSE(*final.value);
}

TEST_F(LiveClientTest, StallErrorAndDropEachReportNoFinalOnce)
{
    // A server that never answers finalize: the timeout decides.
    {
        LiveTranscriptionClient client(server.url(), {}, scheduler);
        ASSERT_TRUE(*start(client).value);
        Outcome<std::optional<QString>> final;
        collect(client.finalize(4500ms), final);
        ASSERT_TRUE(pumpUntil([&] { return server.texts.size() == 2; }));
        server.say(R"({"type":"raw","text":"late words"})");
        server.say(R"({"type":"final","text":"Late words."})");
        scheduler.advance(4500ms); // before the client reads the final: the timeout wins
        EXPECT_EQ(final.resumes, 1);
        EXPECT_FALSE(*final.value);
        EXPECT_TRUE(logs.has(kWs, QStringLiteral("⏱ final timed out — degrading to batch STT")));
        ASSERT_TRUE(pumpUntil([&] { return client.receivedFinal(); }));
        scheduler.advance(10s);
        EXPECT_EQ(final.resumes, 1);
        EXPECT_EQ(client.rawText(), QStringLiteral("late words"));
    }
    // An error message answers a pending finalize at once.
    {
        LiveTranscriptionClient client(server.url(), {}, scheduler);
        ASSERT_TRUE(*start(client).value);
        server.onText = [&](const QString &text) {
            if (text.contains(QStringLiteral("finalize")))
                server.say(R"({"type":"error","message":"boom"})");
        };
        Outcome<std::optional<QString>> final;
        collect(client.finalize(4500ms), final);
        ASSERT_TRUE(pumpUntil([&] { return final.resumes > 0; }));
        EXPECT_FALSE(*final.value);
        EXPECT_TRUE(client.hasFailed());
        EXPECT_TRUE(logs.has(kWs, QStringLiteral("ws server error: boom")));
        scheduler.advance(5s);
        EXPECT_EQ(final.resumes, 1);
        server.onText = nullptr;
    }
    // The server goes away mid-stream: frames stop and finalize answers at once.
    {
        LiveTranscriptionClient client(server.url(), {}, scheduler);
        ASSERT_TRUE(*start(client).value);
        ASSERT_TRUE(pumpUntil([&] { return server.texts.size() == 5; }));
        server.peer->abort();
        ASSERT_TRUE(pumpUntil([&] { return client.hasFailed(); }));
        EXPECT_TRUE(logs.hasPrefix(kWs, QStringLiteral("ws recv error: ")));
        Outcome<std::optional<QString>> final;
        collect(client.finalize(4500ms), final);
        EXPECT_EQ(final.resumes, 1);
        EXPECT_FALSE(*final.value);
    }
}
