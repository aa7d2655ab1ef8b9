// dravelin-server over real HTTP on a loopback port: browser sign-in with
// PKCE, token refresh and rotation, the user endpoints, sign-out, the
// transcribe and cleanup functions on real speech, recording uploads, and
// the bounds on what clients can make the server hold (metadata, sign-ins
// under way, queued uploads, stale grants).

#include "DravelinServer.h"
#include "auth/AuthRoutes.h"
#include "auth/Jwt.h"
#include "core/QtScheduler.h"
#include "core/VirtualScheduler.h"
#include "engines/SpeechEngine.h"
#include "storage/Storage.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/ScratchPostgres.h"
#include "support/Speech.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>
#include <QUuid>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::HttpResult;
using dravelin::test::HttpTestClient;

namespace {

const QString kRedirect = test::kLoopbackRedirect;
const QByteArray kClient = test::kLocalClientId;
const QByteArray kApiKey = "dravelin-local-public-key";

QByteArray form(const QList<QPair<QString, QString>> &pairs)
{
    return test::formEncode(pairs);
}

json::Json jsonOf(const HttpResult &r)
{
    auto parsed = json::parse(r.body);
    return parsed ? *parsed : json::Json();
}

QString str(const json::Json &j, const char *key)
{
    return json::optionalField<QString>(j, key).value_or(QString());
}

// The app's transcription upload.
QByteArray transcribeBody(const QByteArray &boundary, const QByteArray &audio, bool cleanup, bool stream,
                          const QByteArray &recordingId = {})
{
    QByteArray body = "--" + boundary +
                      "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"audio.m4a\"\r\n"
                      "Content-Type: audio/mp4\r\n\r\n" +
                      audio + "\r\n";
    auto field = [&](const char *name, const QByteArray &value) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    field("duration_ms", "3000");
    field("app_bundle_id", "org.example.Editor");
    field("cleanup", cleanup ? "1" : "0");
    field("stream", cleanup && stream ? "1" : "0");
    field("filler_words_enabled", "0");
    if (!recordingId.isEmpty())
        field("clientRecordingId", recordingId);
    body += "--" + boundary + "--\r\n";
    return body;
}

// Half a second of a quiet square wave as a 16 kHz mono WAV.
QByteArray toneWav()
{
    QByteArray pcm;
    for (int i = 0; i < 8000; ++i) {
        const auto sample = static_cast<qint16>((i / 20) % 2 ? 1000 : -1000);
        pcm.append(reinterpret_cast<const char *>(&sample), 2);
    }
    QByteArray wav = "RIFF";
    auto u32 = [&wav](quint32 v) { wav.append(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&wav](quint16 v) { wav.append(reinterpret_cast<const char *>(&v), 2); };
    u32(36 + static_cast<quint32>(pcm.size()));
    wav += "WAVEfmt ";
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(16000);
    u32(32000);
    u16(2);
    u16(16);
    wav += "data";
    u32(static_cast<quint32>(pcm.size()));
    return wav + pcm;
}

// Hears "hello" in anything, once the test opens the gate.
struct GatedEngine final : SpeechEngine
{
    explicit GatedEngine(Scheduler &s) : scheduler(s) {}
    QString name() const override { return QStringLiteral("gated"); }
    QCoro::Task<Expected<Recognized, QString>> transcribe(std::vector<float>, RecognitionHints) override
    {
        ++entered;
        while (!open) {
            co_await scheduler.sleep(Millis(10));
        }
        Recognized heard{QStringLiteral("hello"), QStringLiteral("en")};
        co_return heard;
    }
    std::unique_ptr<SpeechStream> openStream(RecognitionHints, std::function<void(const QString &)>) override
    {
        return nullptr;
    }

    Scheduler &scheduler;
    bool open = false;
    int entered = 0;
};

class ServerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_speech = new QByteArray(test::synthesizeSpeech(s_dir->filePath(QStringLiteral("speech.wav")),
                                                         QStringLiteral("Hello world. This is a test of the server.")));
        ASSERT_FALSE(s_speech->isEmpty());
    }
    static void TearDownTestSuite()
    {
        delete s_speech;
        delete s_dir;
    }

    void SetUp() override
    {
        ServerConfig config;
        config.port = 0;
        config.dataDir = dir.filePath(QStringLiteral("data"));
        config.maxBodyBytes = 4 * 1024 * 1024;
        ASSERT_TRUE(database.error().isEmpty()) << qPrintable(database.error());
        config.database = database.connection(); // SQLite unless the run provides PostgreSQL
        if (!config.database.isEmpty())
            config.signingKeyFile = test::ScratchPostgres::writeSigningKey(dir.path());
        configure(config);
        m_config = config;
        auto created = DravelinServer::create(config, scheduler);
        ASSERT_TRUE(created) << qPrintable(created.error());
        server = std::move(created.value());
        ASSERT_TRUE(server->listen());
        client = std::make_unique<HttpTestClient>(QStringLiteral("http://127.0.0.1:%1").arg(server->port()));
    }

    virtual void configure(ServerConfig &) {}

    // Plays the browser; the code from the redirect (or "error:<code>"), and its state.
    std::pair<QString, QString> consent(const QByteArray &challenge, const QString &state,
                                        const char *decision = "allow")
    {
        const auto r = test::consentInBrowser(*client, challenge, state, QString::fromLatin1(decision));
        EXPECT_EQ(r.pageStatus, 200);
        EXPECT_EQ(r.redirectStatus, 302);
        EXPECT_TRUE(r.location.toString().startsWith(kRedirect));
        EXPECT_EQ(r.state, state);
        return {r.error.isEmpty() ? r.code : QStringLiteral("error:") + r.error, r.state};
    }

    HttpResult exchange(const QString &code, const QByteArray &verifier)
    {
        return test::exchangeCode(*client, code, verifier);
    }

    json::Json signIn()
    {
        const QByteArray verifier = randomToken(48);
        const auto [code, state] = consent(pkceChallenge(verifier), QStringLiteral("s1"));
        const HttpResult tokens = exchange(code, verifier);
        EXPECT_EQ(tokens.status, 200) << tokens.body.constData();
        return jsonOf(tokens);
    }

    HttpResult transcribe(const QByteArray &token, const QByteArray &audio, bool cleanup, bool stream,
                          const QByteArray &recordingId = {})
    {
        const QByteArray boundary =
            "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
        const QByteArray body = transcribeBody(boundary, audio, cleanup, stream, recordingId);
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "multipart/form-data; boundary=" + boundary}};
        if (!token.isEmpty())
            headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer " + token)));
        if (stream)
            headers.append(qMakePair(QByteArray("Accept"), QByteArray("application/x-ndjson")));
        return client->send("POST", QStringLiteral("/functions/v1/transcribe"), body, headers);
    }

    // Another instance over the same database, signing key and recordings
    // (PostgreSQL in the postgres run, one SQLite file otherwise).
    struct Instance
    {
        std::unique_ptr<DravelinServer> server;
        std::unique_ptr<HttpTestClient> client;
    };
    Instance secondInstance()
    {
        Instance b;
        auto created = DravelinServer::create(m_config, scheduler);
        EXPECT_TRUE(created) << qPrintable(created.error());
        if (!created)
            return b;
        b.server = std::move(created.value());
        EXPECT_TRUE(b.server->listen());
        b.client = std::make_unique<HttpTestClient>(QStringLiteral("http://127.0.0.1:%1").arg(b.server->port()));
        return b;
    }

    static QTemporaryDir *s_dir;
    static QByteArray *s_speech;
    QTemporaryDir dir;
    test::ScratchPostgres database;
    QtScheduler scheduler;
    std::unique_ptr<DravelinServer> server;
    std::unique_ptr<HttpTestClient> client;
    ServerConfig m_config; // what the server was made with
};

QTemporaryDir *ServerTest::s_dir = nullptr;
QByteArray *ServerTest::s_speech = nullptr;

class RecordingServerTest : public ServerTest
{
protected:
    void configure(ServerConfig &config) override
    {
        config.retainRecordings = true;
        config.publicUrl = QStringLiteral("https://dictation.example.org/base");
    }
};

} // namespace

TEST_F(ServerTest, BrowserSignInRefreshUserAndSignOut)
{
    const QByteArray verifier = randomToken(48);
    const auto [code, state] = consent(pkceChallenge(verifier), QStringLiteral("state-123"));
    ASSERT_FALSE(code.isEmpty());
    EXPECT_EQ(state, QStringLiteral("state-123"));

    const HttpResult tokens = exchange(code, verifier);
    ASSERT_EQ(tokens.status, 200) << tokens.body.constData();
    const json::Json session = jsonOf(tokens);
    const QByteArray access = str(session, "access_token").toLatin1();
    const QByteArray refresh = str(session, "refresh_token").toLatin1();
    ASSERT_EQ(access.count('.'), 2);
    EXPECT_FALSE(refresh.isEmpty());

    const QList<QPair<QByteArray, QByteArray>> bearer{{"apikey", kApiKey}, {"Authorization", "Bearer " + access}};
    const HttpResult me = client->send("GET", QStringLiteral("/auth/v1/user"), {}, bearer);
    ASSERT_EQ(me.status, 200);
    EXPECT_EQ(str(jsonOf(me), "email"), QStringLiteral("ada@example.com"));
    EXPECT_EQ(client->send("GET", QStringLiteral("/auth/v1/user"), {}, {{"Authorization", "Bearer " + access}}).status,
              401); // no apikey

    const HttpResult updated =
        client->send("PUT", QStringLiteral("/auth/v1/user"), R"({"data":{"first_name":"Ada","avatar_preset":"fox"}})",
                     bearer + QList<QPair<QByteArray, QByteArray>>{{"Content-Type", "application/json"}});
    ASSERT_EQ(updated.status, 200);
    EXPECT_EQ(jsonOf(updated)["user_metadata"]["first_name"], "Ada");
    // Metadata is bounded: an update past the bound changes nothing.
    const HttpResult oversized =
        client->send("PUT", QStringLiteral("/auth/v1/user"),
                     R"({"data":{"bio":")" + QByteArray(AuthRoutes::kMaxUserMetadataBytes, 'a') + R"("}})",
                     bearer + QList<QPair<QByteArray, QByteArray>>{{"Content-Type", "application/json"}});
    EXPECT_EQ(oversized.status, 413);
    EXPECT_EQ(str(jsonOf(oversized), "error"), QStringLiteral("metadata_too_large"));
    const json::Json kept = jsonOf(client->send("GET", QStringLiteral("/auth/v1/user"), {}, bearer))["user_metadata"];
    EXPECT_EQ(kept, (json::Json{{"first_name", "Ada"}, {"avatar_preset", "fox"}}));

    // Refresh rotates: the new token works, the old one no longer does.
    const HttpResult rotated = client->send("POST", QStringLiteral("/auth/v1/oauth/token"),
                                            form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                                  {QStringLiteral("refresh_token"), QString::fromLatin1(refresh)},
                                                  {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                                            {{"Content-Type", "application/x-www-form-urlencoded"}});
    ASSERT_EQ(rotated.status, 200) << rotated.body.constData();
    const QByteArray refresh2 = str(jsonOf(rotated), "refresh_token").toLatin1();
    EXPECT_NE(refresh2, refresh);

    const HttpResult jsonRefresh = client->send("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                                                "{\"refresh_token\":\"" + refresh2 + "\"}",
                                                {{"apikey", kApiKey}, {"Content-Type", "application/json"}});
    EXPECT_EQ(jsonRefresh.status, 400); // issued to the OAuth client, not the JSON endpoint

    const QByteArray access2 = str(jsonOf(rotated), "access_token").toLatin1();
    EXPECT_EQ(client
                  ->send("POST", QStringLiteral("/auth/v1/logout"), {},
                         {{"apikey", kApiKey}, {"Authorization", "Bearer " + access2}})
                  .status,
              204);
    const HttpResult afterLogout = client->send("POST", QStringLiteral("/auth/v1/oauth/token"),
                                                form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                                      {QStringLiteral("refresh_token"), QString::fromLatin1(refresh2)},
                                                      {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                                                {{"Content-Type", "application/x-www-form-urlencoded"}});
    EXPECT_EQ(afterLogout.status, 400);
    EXPECT_FALSE(str(jsonOf(afterLogout), "error_description").isEmpty());
}

// A session is the database's, not an instance's.
TEST_F(ServerTest, AnotherInstanceOnTheSameDatabaseKnowsEverySessionChangeAtOnce)
{
    const Instance b = secondInstance();
    ASSERT_TRUE(b.client);
    HttpTestClient &clientB = *b.client;
    const auto refreshAt = [](HttpTestClient &at, const QString &token) {
        return at.send("POST", QStringLiteral("/auth/v1/oauth/token"),
                       form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                             {QStringLiteral("refresh_token"), token},
                             {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                       {{"Content-Type", "application/x-www-form-urlencoded"}});
    };

    const json::Json session = signIn(); // through A
    const QByteArray accessA = str(session, "access_token").toLatin1();
    EXPECT_EQ(clientB
                  .send("GET", QStringLiteral("/auth/v1/user"), {},
                        {{"apikey", kApiKey}, {"Authorization", "Bearer " + accessA}})
                  .status,
              200); // signed by the shared key
    const HttpResult rotated = refreshAt(clientB, str(session, "refresh_token"));
    ASSERT_EQ(rotated.status, 200) << rotated.body.constData();
    EXPECT_EQ(refreshAt(*client, str(session, "refresh_token")).status, 400); // replayed at A: caught

    // The replay ended the user's sessions everywhere; sign in again, then
    // sign out through A: B refuses the refresh token at once.
    const json::Json again = signIn();
    EXPECT_EQ(client
                  ->send("POST", QStringLiteral("/auth/v1/logout"), {},
                         {{"apikey", kApiKey}, {"Authorization", "Bearer " + str(again, "access_token").toLatin1()}})
                  .status,
              204);
    EXPECT_EQ(refreshAt(clientB, str(again, "refresh_token")).status, 400);
    EXPECT_EQ(refreshAt(clientB, str(jsonOf(rotated), "refresh_token")).status, 400);
}

TEST_F(ServerTest, WhenTheDatabaseTakesNoWritesSessionsAreNeitherIssuedNorFalselyRevoked)
{
    const json::Json session = signIn();
    const QByteArray access = str(session, "access_token").toLatin1();
    const QString refresh = str(session, "refresh_token");
    const auto refreshWith = [&](const QString &token) {
        return client->send("POST", QStringLiteral("/auth/v1/oauth/token"),
                            form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                  {QStringLiteral("refresh_token"), token},
                                  {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                            {{"Content-Type", "application/x-www-form-urlencoded"}});
    };
    const auto logout = [&] {
        return client->send("POST", QStringLiteral("/auth/v1/logout"), {},
                            {{"apikey", kApiKey}, {"Authorization", "Bearer " + access}});
    };

    auto &storage = server->storage();
    storage.setReadOnly(true); // as on a full disk
    const HttpResult rotated = refreshWith(refresh);
    EXPECT_EQ(rotated.status, 503);
    EXPECT_EQ(str(jsonOf(rotated), "error"), QStringLiteral("storage_unavailable"));
    EXPECT_EQ(logout().status, 503); // the app knows the sign-out did not happen
    const QByteArray verifier = randomToken(48);
    const auto consent =
        test::consentInBrowser(*client, pkceChallenge(verifier), QStringLiteral("s"), QStringLiteral("allow"));
    EXPECT_EQ(consent.redirectStatus, 503);

    // Space is back: the token that was never rotated still works once, and
    // a sign-out sticks.
    storage.setReadOnly(false);
    const HttpResult again = refreshWith(refresh);
    ASSERT_EQ(again.status, 200) << again.body.constData();
    EXPECT_EQ(refreshWith(refresh).status, 400);
    EXPECT_EQ(logout().status, 204);
    EXPECT_EQ(refreshWith(str(jsonOf(again), "refresh_token")).status, 400);
}

TEST_F(ServerTest, WrongVerifierDeniedConsentReusedRefreshAndBadTokensAreRefused)
{
    const QByteArray verifier = randomToken(48);
    const auto [code, state] = consent(pkceChallenge(verifier), QStringLiteral("s"));
    const HttpResult wrong = exchange(code, randomToken(48));
    EXPECT_EQ(wrong.status, 400);
    EXPECT_EQ(str(jsonOf(wrong), "error"), QStringLiteral("invalid_grant"));

    // A code works once; replaying it also ends the session it gave out.
    const QByteArray verifier2 = randomToken(48);
    const auto [code2, state2] = consent(pkceChallenge(verifier2), QStringLiteral("s2"));
    const HttpResult issued = exchange(code2, verifier2);
    ASSERT_EQ(issued.status, 200);
    EXPECT_EQ(exchange(code2, verifier2).status, 400);
    const HttpResult afterReplay =
        client->send("POST", QStringLiteral("/auth/v1/oauth/token"),
                     form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                           {QStringLiteral("refresh_token"), str(jsonOf(issued), "refresh_token")},
                           {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                     {{"Content-Type", "application/x-www-form-urlencoded"}});
    EXPECT_EQ(afterReplay.status, 400);

    const auto [denied, deniedState] = consent(pkceChallenge(verifier), QStringLiteral("d"), "deny");
    EXPECT_EQ(denied, QStringLiteral("error:access_denied"));

    const json::Json session = signIn();
    const QString refresh = str(session, "refresh_token");
    auto refreshOnce = [&](const QString &token) {
        return client->send("POST", QStringLiteral("/auth/v1/oauth/token"),
                            form({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                  {QStringLiteral("refresh_token"), token},
                                  {QStringLiteral("client_id"), QString::fromLatin1(kClient)}}),
                            {{"Content-Type", "application/x-www-form-urlencoded"}});
    };
    const HttpResult first = refreshOnce(refresh);
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(refreshOnce(refresh).status, 400);                             // replaying a rotated token…
    EXPECT_EQ(refreshOnce(str(jsonOf(first), "refresh_token")).status, 400); // …ends the whole family

    // The key the server made itself is private (a shared one is the
    // operator's file).
    QFile keyFile(m_config.signingKeyFile.isEmpty() ? dir.filePath(QStringLiteral("data/signing.key"))
                                                    : m_config.signingKeyFile);
    ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
    if (m_config.signingKeyFile.isEmpty()) {
        EXPECT_EQ(keyFile.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                  QFileDevice::Permissions());
    }
    const QByteArray key = keyFile.readAll().trimmed();
    const QString sub =
        str(jsonOf(client->send(
                "GET", QStringLiteral("/auth/v1/user"), {},
                {{"apikey", kApiKey}, {"Authorization", "Bearer " + str(jsonOf(first), "access_token").toLatin1()}})),
            "id");
    const QByteArray expired = signJwt(json::Json{{"sub", sub.toStdString()}, {"exp", 1000}}, key);
    const QByteArray forged =
        signJwt(json::Json{{"sub", sub.toStdString()}, {"exp", 4102444800}}, "not the server's secret at all!!");
    for (const QByteArray &bad : {expired, forged, QByteArray("garbage")}) {
        const HttpResult r = transcribe(bad, *s_speech, false, false);
        EXPECT_EQ(r.status, 401);
        EXPECT_TRUE(jsonOf(r).contains("error"));
    }
}

TEST_F(ServerTest, TranscribesSpeechInOneReplyAndAsAStream)
{
    const QByteArray access = str(signIn(), "access_token").toLatin1();
    const HttpResult single = transcribe(access, *s_speech, true, false);
    ASSERT_EQ(single.status, 200) << single.body.constData();
    const json::Json reply = jsonOf(single);
    EXPECT_TRUE(str(reply, "raw").contains(QStringLiteral("hello"), Qt::CaseInsensitive))
        << str(reply, "raw").toStdString();
    EXPECT_TRUE(str(reply, "text").startsWith(QStringLiteral("Hello")));
    EXPECT_EQ(str(reply, "engine"), server->engineName()); // Whisper when its model is installed
    // Whisper often punctuates by itself; "cleaned" says whether cleanup changed anything.
    EXPECT_EQ(reply["cleaned"], str(reply, "text") != str(reply, "raw"));
    EXPECT_EQ(reply["retainRecording"], false);

    const HttpResult raw = transcribe(access, *s_speech, false, false);
    ASSERT_EQ(raw.status, 200);
    EXPECT_EQ(str(jsonOf(raw), "text"), str(jsonOf(raw), "raw"));
    EXPECT_EQ(jsonOf(raw)["cleaned"], false);

    const HttpResult streamed = transcribe(access, *s_speech, true, true);
    ASSERT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.header("Content-Type"), "application/x-ndjson");
    const QList<QByteArray> lines = streamed.body.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    const auto first = json::parse(lines[0]).value();
    const auto second = json::parse(lines[1]).value();
    EXPECT_EQ(str(first, "stage"), QStringLiteral("raw"));
    EXPECT_EQ(str(second, "stage"), QStringLiteral("cleaned"));
    EXPECT_TRUE(str(second, "text").startsWith(QStringLiteral("Hello")));
    EXPECT_EQ(server->storage().transcriptionCount(
                  str(jsonOf(client->send("GET", QStringLiteral("/auth/v1/user"), {},
                                          {{"apikey", kApiKey}, {"Authorization", "Bearer " + access}})),
                      "id")),
              3);
}

TEST_F(ServerTest, BadRequestsGetClearErrorsAndNeverHang)
{
    const QByteArray access = str(signIn(), "access_token").toLatin1();
    const HttpResult garbageAudio = transcribe(access, QByteArray(5000, 'x'), false, false);
    EXPECT_EQ(garbageAudio.status, 422);
    EXPECT_TRUE(str(jsonOf(garbageAudio), "error").startsWith(QStringLiteral("audio could not be decoded")));

    const HttpResult notMultipart =
        client->send("POST", QStringLiteral("/functions/v1/transcribe"), "{}",
                     {{"Authorization", "Bearer " + access}, {"Content-Type", "application/json"}});
    EXPECT_EQ(notMultipart.status, 415);
    const HttpResult truncated =
        client->send("POST", QStringLiteral("/functions/v1/transcribe"),
                     "--B\r\nContent-Disposition: form-data; name=\"audio\"\r\n\r\nabc",
                     {{"Authorization", "Bearer " + access}, {"Content-Type", "multipart/form-data; boundary=B"}});
    EXPECT_EQ(truncated.status, 400);
    // Refused before the upload ends: the client still reads why.
    const HttpResult tooBig = transcribe(access, QByteArray(5 * 1024 * 1024, 'x'), false, false);
    EXPECT_EQ(tooBig.status, 413) << tooBig.error;
    EXPECT_TRUE(str(jsonOf(tooBig), "error").contains(QStringLiteral("maxBodyBytes"))) << tooBig.body.constData();

    const HttpResult cleanupBad =
        client->send("POST", QStringLiteral("/functions/v1/cleanup"),
                     "{\"text\":", {{"Authorization", "Bearer " + access}, {"Content-Type", "application/json"}});
    EXPECT_EQ(cleanupBad.status, 400);
    // The rules hold up the server for as long as the text: it is bounded.
    const HttpResult cleanupHuge = client->send(
        "POST", QStringLiteral("/functions/v1/cleanup"), "{\"text\":\"" + QByteArray(70 * 1024, 'a') + "\"}",
        {{"Authorization", "Bearer " + access}, {"Content-Type", "application/json"}});
    EXPECT_EQ(cleanupHuge.status, 413);
    const HttpResult cleanupOk =
        client->send("POST", QStringLiteral("/functions/v1/cleanup"),
                     R"({"text":"um so this works","filler_words_enabled":true,"filler_words":["um"]})",
                     {{"Authorization", "Bearer " + access}, {"Content-Type", "application/json"}});
    ASSERT_EQ(cleanupOk.status, 200);
    EXPECT_EQ(str(jsonOf(cleanupOk), "text"), QStringLiteral("So this works."));
    EXPECT_EQ(str(jsonOf(cleanupOk), "raw"), QStringLiteral("um so this works"));
    EXPECT_EQ(client->send("POST", QStringLiteral("/functions/v1/cleanup"), R"({"text":"x"})").status, 401);

    EXPECT_EQ(client->send("OPTIONS", QStringLiteral("/functions/v1/transcribe")).status, 204);
    EXPECT_EQ(client->send("GET", QStringLiteral("/functions/v1/transcribe")).status, 405);
    EXPECT_EQ(client->send("GET", QStringLiteral("/nowhere")).status, 404);
    const HttpResult refused =
        client->send("GET", QStringLiteral("/auth/v1/oauth/"
                                           "authorize?response_type=code&client_id=dravelin-desktop&redirect_uri=https%"
                                           "3A%2F%2Fevil.example%2Fcb&code_challenge=") +
                                QString(43, u'a') + QStringLiteral("&code_challenge_method=S256"));
    EXPECT_EQ(refused.status, 400); // never redirects to an address off this machine
    const HttpResult health = client->send("GET", QStringLiteral("/health"), {}, {{"X-Request-Id", "proxy-7.a_b"}});
    EXPECT_EQ(health.status, 200);
    EXPECT_TRUE(health.body.contains("\"database\":\"ok\"")) << health.body.constData();
    // A proxy's request id is kept; a missing or unusable one is replaced.
    const auto requestId = [](const HttpResult &result) {
        for (const auto &[name, value] : result.headers) {
            if (name.compare("x-request-id", Qt::CaseInsensitive) == 0)
                return value;
        }
        return QByteArray();
    };
    EXPECT_EQ(requestId(health), "proxy-7.a_b");
    const QByteArray made = requestId(client->send("GET", QStringLiteral("/health"), {}, {{"X-Request-Id", "bad id"}}));
    EXPECT_GE(made.size(), 8);
    EXPECT_FALSE(made.contains(' '));
}

TEST(ServerModelTest, AModelAskedForByNameMustBeInstalled)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    ServerConfig config;
    config.port = 0;
    config.dataDir = dir.filePath(QStringLiteral("data"));
    auto standard = DravelinServer::create(config, scheduler);
    ASSERT_TRUE(standard) << qPrintable(standard.error());
    const QString engine = (*standard)->engineName();
    standard->reset();

    config.model = QStringLiteral("no-such-model");
    const auto refused = DravelinServer::create(config, scheduler);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().contains(QStringLiteral("ggml-no-such-model.bin"))) << qPrintable(refused.error());
    EXPECT_TRUE(refused.error().contains(QStringLiteral("make models"))) << qPrintable(refused.error());
    // The build's model by its name is the same engine as the default.
    if (engine == u"whisper.cpp:tiny.en") {
        config.model = QStringLiteral("tiny.en");
        const auto named = DravelinServer::create(config, scheduler);
        ASSERT_TRUE(named) << qPrintable(named.error());
        EXPECT_EQ((*named)->engineName(), engine);
    }
}

TEST_F(RecordingServerTest, UploadLinksUseThePublicUrlAndOnlyAStoredRecordingSpendsOne)
{
    const json::Json session = signIn();
    const QByteArray access = str(session, "access_token").toLatin1();
    const QString userId = str(session["user"], "id");
    const QByteArray recordingId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    const HttpResult reply = transcribe(access, *s_speech, false, false, recordingId);
    ASSERT_EQ(reply.status, 200) << reply.body.constData();
    const QString base = QStringLiteral("https://dictation.example.org/base");
    const QString url = str(jsonOf(reply), "recordingUploadUrl");
    ASSERT_TRUE(url.startsWith(base + QStringLiteral("/storage/v1/upload?token="))) << qPrintable(url);
    const QString upload = url.mid(base.size());

    const QByteArray m4a = QByteArray("\0\0\0\x18", 4) + "ftypM4A " + QByteArray(16, '\0');
    EXPECT_EQ(client->send("PUT", upload, "not a recording").status, 415);
    const Instance b = secondInstance(); // any instance honours the link
    ASSERT_TRUE(b.client);
    EXPECT_EQ(b.client->send("PUT", upload, m4a).status, 200); // the refusal did not spend the link
    EXPECT_EQ(client->send("PUT", upload, m4a).status, 403);

    // Only a stored file can be attached, never the user's directory, and
    // only with the public API key, as every REST call.
    const QString key = str(jsonOf(reply), "recordingObjectKey");
    for (const auto &[path, apiKey, status] :
         std::vector<std::tuple<QString, QByteArray, int>>{{userId + u'/', kApiKey, 404},
                                                           {userId + QStringLiteral("//"), kApiKey, 404},
                                                           {key, "wrong", 401},
                                                           {key, kApiKey, 200}}) {
        json::Json body{{"p_client_recording_id", recordingId.toStdString()}};
        body["p_audio_path"] = path;
        const HttpResult attached = client->send(
            "POST", QStringLiteral("/rest/v1/rpc/attach_recording_audio"), json::encode(body),
            {{"Authorization", "Bearer " + access}, {"apikey", apiKey}, {"Content-Type", "application/json"}});
        EXPECT_EQ(attached.status, status) << qPrintable(path);
    }
}

TEST(TranscriptionQueueTest, UploadsBeyondTheQueueAreToldToComeBackLater)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    ServerConfig config;
    config.port = 0;
    config.dataDir = dir.filePath(QStringLiteral("data"));
    config.transcriptionQueue = 2;
    auto engine = std::make_unique<GatedEngine>(scheduler);
    GatedEngine &gate = *engine;
    auto created = DravelinServer::create(config, scheduler, std::move(engine));
    ASSERT_TRUE(created) << qPrintable(created.error());
    const auto server = std::move(created.value());
    ASSERT_TRUE(server->listen());
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server->port());
    HttpTestClient client(base);
    const QByteArray token = test::signInForAccessToken(client).toLatin1();
    ASSERT_FALSE(token.isEmpty());

    const QByteArray boundary = "Boundary-queue";
    const QByteArray body = transcribeBody(boundary, toneWav(), false, false);
    const QList<QPair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + token},
                                                       {"Content-Type", "multipart/form-data; boundary=" + boundary}};
    // One at the engine and two waiting fill the queue.
    QNetworkAccessManager nam;
    std::vector<QNetworkReply *> queued;
    for (int i = 0; i < 3; ++i) {
        QNetworkRequest request(QUrl(base + QStringLiteral("/functions/v1/transcribe")));
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        queued.push_back(nam.post(request, body));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.entered == 3; }, 10000));
    const HttpResult refused = client.send("POST", QStringLiteral("/functions/v1/transcribe"), body, headers);
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.header("Retry-After"), "5");
    EXPECT_TRUE(str(jsonOf(refused), "error").contains(QStringLiteral("busy"))) << refused.body.constData();
    EXPECT_EQ(gate.entered, 3);

    gate.open = true;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::all_of(queued.begin(), queued.end(), [](QNetworkReply *r) { return r->isFinished(); }); },
        10000));
    for (QNetworkReply *reply : queued) {
        EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        reply->deleteLater();
    }
    EXPECT_EQ(client.send("POST", QStringLiteral("/functions/v1/transcribe"), body, headers).status, 200);
}

TEST(ServerHousekeepingTest, SignInsUnderWayAreBoundedAndStaleGrantsArePurged)
{
    VirtualScheduler scheduler;
    QTemporaryDir dir;
    ServerConfig config;
    config.port = 0;
    config.dataDir = dir.filePath(QStringLiteral("data"));
    auto created = DravelinServer::create(config, scheduler, std::make_unique<GatedEngine>(scheduler));
    ASSERT_TRUE(created) << qPrintable(created.error());
    const auto server = std::move(created.value());
    ASSERT_TRUE(server->listen());
    HttpTestClient client(QStringLiteral("http://127.0.0.1:%1").arg(server->port()));
    Storage &storage = server->storage();

    // A session signed in, then out: an expired code and a revoked token.
    const QByteArray verifier = randomToken(48);
    const auto consent = test::consentInBrowser(client, pkceChallenge(verifier), QStringLiteral("s"));
    const json::Json session = jsonOf(test::exchangeCode(client, consent.code, verifier));
    const QByteArray refreshHash = sha256Hex(str(session, "refresh_token").toLatin1());
    ASSERT_EQ(client
                  .send("POST", QStringLiteral("/auth/v1/logout"), {},
                        {{"Authorization", "Bearer " + str(session, "access_token").toLatin1()}})
                  .status,
              204);

    // Consent pages left open are bounded; expired ones make room.
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_id"), QString::fromLatin1(kClient));
    q.addQueryItem(QStringLiteral("redirect_uri"), kRedirect);
    q.addQueryItem(QStringLiteral("code_challenge"), QString::fromLatin1(pkceChallenge(verifier)));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    const QString authorize = QStringLiteral("/auth/v1/oauth/authorize?") + q.toString(QUrl::FullyEncoded);
    for (std::size_t i = 0; i < AuthRoutes::kMaxConsentTickets; ++i)
        ASSERT_EQ(client.send("GET", authorize).status, 200) << i;
    const HttpResult full = client.send("GET", authorize);
    EXPECT_EQ(full.status, 503);
    EXPECT_FALSE(full.header("Retry-After").isEmpty());
    scheduler.advance(std::chrono::minutes(11));
    EXPECT_EQ(client.send("GET", authorize).status, 200);

    // The hourly purge drops the expired code; the revoked token stays a
    // while for replay detection, then goes too.
    ASSERT_TRUE(storage.refreshToken(refreshHash));
    scheduler.advance(std::chrono::minutes(50));
    EXPECT_FALSE(storage.consumeAuthCode(sha256Hex(consent.code.toLatin1()))->has_value());
    EXPECT_TRUE(storage.refreshToken(refreshHash));
    scheduler.advance(std::chrono::hours(24 * 31));
    EXPECT_FALSE(storage.refreshToken(refreshHash));
}
