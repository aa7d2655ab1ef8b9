// The live transcription socket over real WebSockets: what the client sends
// (vocabulary, start options, PCM split anywhere, finalize) reaches the engine
// and comes back as partial, raw and final messages; every protocol mistake
// gets an error message and a closed socket; and real speech streamed at
// speaking pace through the default engine comes back with partials first.

#include "DravelinServer.h"
#include "core/QtScheduler.h"
#include "engines/SpeechEngine.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/QtPrinters.h"
#include "support/Speech.h"
#include "support/WordErrorRate.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;

namespace {

// Hears whatever it is told to, and remembers what it was given.
struct ScriptedEngine final : SpeechEngine
{
    QStringList vocabulary;
    QString askedLanguage; // what the client asked for
    std::vector<float> audio;
    QString text = QStringLiteral("um hello world this is a test");
    QString heardLanguage = QStringLiteral("en");

    QString name() const override { return QStringLiteral("scripted"); }
    QCoro::Task<Expected<Recognized, QString>> transcribe(std::vector<float>, RecognitionHints) override
    {
        Recognized heard{text, heardLanguage};
        co_return heard;
    }
    std::unique_ptr<SpeechStream> openStream(RecognitionHints hints,
                                             std::function<void(const QString &)> onPartial) override
    {
        vocabulary = hints.vocabulary;
        askedLanguage = hints.language;
        struct Stream final : SpeechStream
        {
            ScriptedEngine &engine;
            std::function<void(const QString &)> onPartial;
            Stream(ScriptedEngine &e, std::function<void(const QString &)> p) : engine(e), onPartial(std::move(p)) {}
            void append(const std::vector<float> &samples) override
            {
                engine.audio.insert(engine.audio.end(), samples.begin(), samples.end());
                onPartial(QStringLiteral("heard %1 samples").arg(engine.audio.size()));
            }
            QCoro::Task<Expected<Recognized, QString>> finish() override
            {
                Recognized heard{engine.text, engine.heardLanguage}; // co_return of a member would move it out
                co_return heard;
            }
        };
        return std::make_unique<Stream>(*this, std::move(onPartial));
    }
};

QByteArray pcm(const std::vector<float> &samples)
{
    QByteArray bytes(static_cast<qsizetype>(samples.size() * 2), '\0');
    for (size_t i = 0; i < samples.size(); ++i)
        qToLittleEndian<qint16>(static_cast<qint16>(std::clamp(samples[i], -1.0f, 1.0f) * 32767), bytes.data() + 2 * i);
    return bytes;
}

// The app's side of the socket, reduced to what the tests look at.
class LiveClient
{
public:
    LiveClient()
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
            auto parsed = json::parse(text.toUtf8());
            messages.push_back(parsed ? *parsed : json::Json{{"type", "undecodable"}});
        });
        QObject::connect(&socket, &QWebSocket::disconnected, [this] { closed = true; });
    }
    bool open(quint16 port, const QString &token, const QString &query = {})
    {
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/transcribe-stream%2").arg(port).arg(query)));
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        socket.open(request);
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; }, 5000) &&
               !closed;
    }
    void send(const json::Json &message) { socket.sendTextMessage(QString::fromUtf8(json::encode(message))); }
    void start(bool cleanup = true, const char *language = nullptr)
    {
        json::Json start{{"type", "start"}, {"encoding", "linear16"}, {"sample_rate", 16000}, {"channels", 1}};
        start["cleanup"] = cleanup;
        if (language)
            start["language"] = language;
        start["fillerWords"] = QStringList{QStringLiteral("um")};
        start["app_bundle_id"] = "org.example.Editor";
        start["clientRecordingId"] = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
        send(start);
    }
    std::optional<json::Json> find(const char *type) const
    {
        for (const auto &m : messages) {
            if (m.value("type", "") == type)
                return m;
        }
        return std::nullopt;
    }
    bool waitFor(const char *type, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return find(type).has_value(); }, ms);
    }

    QWebSocket socket;
    std::vector<json::Json> messages;
    bool closed = false;
};

QString text(const json::Json &message)
{
    return json::optionalField<QString>(message, "text").value_or(QString());
}

class LiveTranscriptionTest : public ::testing::Test
{
protected:
    void start(std::unique_ptr<SpeechEngine> engine = nullptr, qint64 idleMs = 30000, qint64 maxMs = 660000)
    {
        ServerConfig config;
        config.port = 0;
        config.liveIdleMs = idleMs;
        config.liveMaxMs = maxMs;
        config.dataDir = dir.filePath(QStringLiteral("data"));
        auto created = DravelinServer::create(config, scheduler, std::move(engine));
        ASSERT_TRUE(created) << qPrintable(created.error());
        server = std::move(created.value());
        ASSERT_TRUE(server->listen());
        test::HttpTestClient http(QStringLiteral("http://127.0.0.1:%1").arg(server->port()));
        token = test::signInForAccessToken(http);
        ASSERT_FALSE(token.isEmpty());
    }

    QTemporaryDir dir;
    QtScheduler scheduler;
    std::unique_ptr<DravelinServer> server;
    QString token;
};

} // namespace

TEST_F(LiveTranscriptionTest, VocabularyAudioAndOptionsReachTheEngineAndComeBackAsRawAndCleanedFinal)
{
    auto owned = std::make_unique<ScriptedEngine>();
    ScriptedEngine *engine = owned.get();
    start(std::move(owned));
    LiveClient client;
    ASSERT_TRUE(client.open(server->port(), token, QStringLiteral("?vocab=Dravelin&vocab=Qt%20Creator")));
    client.start();

    // 1.5 s of a ramp, in frames that split samples in two.
    std::vector<float> ramp(24000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<float>(static_cast<int>(i % 2000) - 1000) / 1024.0f;
    const QByteArray bytes = pcm(ramp);
    for (qsizetype offset = 0; offset < bytes.size(); offset += 3201)
        client.socket.sendBinaryMessage(bytes.mid(offset, 3201));
    ASSERT_TRUE(client.waitFor("partial"));
    client.send({{"type", "finalize"}});
    ASSERT_TRUE(client.waitFor("final"));
    client.socket.sendBinaryMessage(bytes.left(3200));                 // after finalize: dropped
    EXPECT_TRUE(QTest::qWaitFor([&] { return client.closed; }, 5000)); // the server ends the session

    EXPECT_EQ(engine->vocabulary, (QStringList{QStringLiteral("Dravelin"), QStringLiteral("Qt Creator")}));
    ASSERT_EQ(engine->audio.size(), ramp.size());
    for (size_t i : {size_t{0}, size_t{1}, size_t{1999}, size_t{12345}, ramp.size() - 1})
        EXPECT_NEAR(engine->audio[i], ramp[i], 1.0 / 16000) << i;

    EXPECT_TRUE(text(*client.find("partial")).startsWith(QStringLiteral("heard ")));
    EXPECT_EQ(text(*client.find("raw")), engine->text);
    const json::Json final = *client.find("final");
    EXPECT_EQ(text(final), QStringLiteral("Hello world this is a test.")); // "um" dropped, capital, full stop
    EXPECT_EQ(final.value("retainRecording", true), false);
    ASSERT_TRUE(final.contains("debug"));
    EXPECT_TRUE(final["debug"]["dg_final_ms"].is_number_integer());
    // raw, then final, and nothing after the final.
    EXPECT_EQ(client.messages.back().value("type", ""), "final");
}

// The language asked for reaches the engine, the language heard comes back,
// and English-only clean-up rules stay out of other languages' way.
TEST_F(LiveTranscriptionTest, TheSpokenLanguageReachesTheEngineAndComesBackWithTheText)
{
    auto owned = std::make_unique<ScriptedEngine>();
    ScriptedEngine *engine = owned.get();
    engine->text = QStringLiteral("ähm ich glaube i bin erstens hier");
    engine->heardLanguage = QStringLiteral("de");
    start(std::move(owned));
    LiveClient client;
    ASSERT_TRUE(client.open(server->port(), token));
    client.start(true, "DE");
    client.socket.sendBinaryMessage(pcm(std::vector<float>(3200, 0.1f)));
    client.send({{"type", "finalize"}});
    ASSERT_TRUE(client.waitFor("final"));
    EXPECT_EQ(engine->askedLanguage, QStringLiteral("de"));
    const json::Json final = *client.find("final");
    EXPECT_EQ(json::optionalField<QString>(final, "language"), QStringLiteral("de"));
    // Capital and full stop, but no English "I" and no numbered list.
    EXPECT_EQ(text(final), QStringLiteral("Ähm ich glaube i bin erstens hier."));
}

TEST_F(LiveTranscriptionTest, ProtocolMistakesGetAnErrorMessageAndAClosedSocket)
{
    start(std::make_unique<ScriptedEngine>(), 1500, 3000);
    const json::Json badRate{{"type", "start"}, {"encoding", "linear16"}, {"sample_rate", 44100}, {"channels", 1}};
    struct Case
    {
        const char *what;
        std::function<void(LiveClient &)> send;
        QString expected;
    };
    const std::vector<Case> cases{
        {"audio first", [](LiveClient &c) { c.socket.sendBinaryMessage(QByteArray(320, '\0')); },
         QStringLiteral("audio sent before the start message")},
        {"wrong rate", [&](LiveClient &c) { c.send(badRate); }, QStringLiteral("44100 Hz")},
        {"not JSON", [](LiveClient &c) { c.socket.sendTextMessage(QStringLiteral("{nope")); },
         QStringLiteral("malformed message")},
        {"finalize first",
         [](LiveClient &c) {
             c.send({{"type", "finalize"}});
         },
         QStringLiteral("finalize sent before the start message")},
        {"unknown type",
         [](LiveClient &c) {
             c.send({{"type", "pause"}});
         },
         QStringLiteral("unknown message type")},
        {"second start",
         [](LiveClient &c) {
             c.start();
             c.start();
         },
         QStringLiteral("start sent twice")},
        {"silent client", [](LiveClient &c) { c.start(); }, QStringLiteral("nothing received for 1.5 s")},
        {"endless trickle",
         [](LiveClient &c) {
             c.start();
             auto *trickle = new QTimer(&c.socket);
             QObject::connect(trickle, &QTimer::timeout, &c.socket,
                              [&c] { c.socket.sendBinaryMessage(QByteArray(320, '\0')); });
             trickle->start(400);
         },
         QStringLiteral("the session lasted longer than 3 s")},
        {"no such language", [](LiveClient &c) { c.start(true, "klingon!"); },
         QStringLiteral("language must be \"auto\" or a language code")},
    };
    for (const auto &c : cases) {
        LiveClient client;
        ASSERT_TRUE(client.open(server->port(), token)) << c.what;
        c.send(client);
        ASSERT_TRUE(client.waitFor("error", 5000)) << c.what;
        EXPECT_TRUE(
            json::optionalField<QString>(*client.find("error"), "message").value_or(QString()).contains(c.expected))
            << c.what;
        EXPECT_TRUE(QTest::qWaitFor([&] { return client.closed; }, 5000)) << c.what;
    }

    LiveClient stranger;
    EXPECT_FALSE(stranger.open(server->port(), QStringLiteral("not-a-token")));
}

TEST_F(LiveTranscriptionTest, SpeechStreamedAtSpeakingPaceGivesPartialsThenTheWholeSentence)
{
    start(); // the default engine: Whisper when its model is installed
    if (!server->engineName().startsWith(QStringLiteral("whisper")))
        GTEST_SKIP() << "no Whisper model; PocketSphinx is too weak for a word check";
    const QString sentence = QStringLiteral("Please schedule the meeting for Thursday afternoon and send the notes.");
    const std::vector<float> speech =
        test::speakSamples(dir.filePath(QStringLiteral("s.wav")), sentence, QStringLiteral("en-us"));
    ASSERT_GT(speech.size(), 16000u * 3);
    const QByteArray bytes = pcm(speech);

    LiveClient client;
    ASSERT_TRUE(client.open(server->port(), token));
    client.start(false);
    // 100 ms frames every 50 ms: twice speaking pace.
    qsizetype offset = 0;
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        client.socket.sendBinaryMessage(bytes.mid(offset, 3200));
        offset += 3200;
        if (offset >= bytes.size())
            pump.stop();
    });
    pump.start(50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pump.isActive(); }, 20000));
    const bool partialBeforeEnd = client.find("partial").has_value();
    QElapsedTimer timer;
    timer.start();
    client.send({{"type", "finalize"}});
    ASSERT_TRUE(client.waitFor("final", 20000));
    std::printf("final text %lld ms after finalize\n", static_cast<long long>(timer.elapsed()));
    EXPECT_TRUE(partialBeforeEnd);
    const QString heard = text(*client.find("final"));
    EXPECT_LE(static_cast<double>(test::wordErrors(sentence, heard)) / test::wordCount(sentence), 0.2)
        << qPrintable(heard);
}
