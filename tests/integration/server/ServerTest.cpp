// dravelin-server over real HTTP on a loopback port: browser sign-in with
// PKCE, token refresh and rotation, the user endpoints, sign-out, the
// transcribe and cleanup functions on real speech, recording uploads, and
// the bounds on what clients can make the server hold (metadata, sign-ins
// under way, queued uploads, stale grants), and several instances over one
// database (sessions and usage shared; one killed mid-request).

#include "DravelinServer.h"
#include "account/NetworkRequestSender.h"
#include "audio/Pcm.h"
#include "auth/AuthRoutes.h"
#include "auth/Jwt.h"
#include "core/QtScheduler.h"
#include "core/VirtualScheduler.h"
#include "engines/SpeechEngine.h"
#include "output/UsageService.h"
#include "storage/Storage.h"
#include "stt/LiveTranscriptionClient.h"
#include "support/FixedToken.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/ScratchPostgres.h"
#include "support/Speech.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrlQuery>
#include <QUuid>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <mutex>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::HttpResult;
using dravelin::test::HttpTestClient;
using dravelin::test::refreshSession;

namespace {

const QString kRedirect = test::kLoopbackRedirect;
const QByteArray kClient = test::kLocalClientId;
const QByteArray kApiKey = "dravelin-local-public-key";

json::Json jsonOf(const HttpResult &r)
{
    auto parsed = json::parse(r.body);
    return parsed ? *parsed : json::Json();
}

QString str(const json::Json &j, const char *key)
{
    return json::optionalField<QString>(j, key).value_or(QString());
}

// The signed-in user's profile and sign-out at an instance, as the app asks for them.
HttpResult userAt(HttpTestClient &at, const QByteArray &access)
{
    return at.send("GET", QStringLiteral("/auth/v1/user"), {},
                   {{"apikey", kApiKey}, {"Authorization", "Bearer " + access}});
}

HttpResult logoutAt(HttpTestClient &at, const QByteArray &access)
{
    return at.send("POST", QStringLiteral("/auth/v1/logout"), {},
                   {{"apikey", kApiKey}, {"Authorization", "Bearer " + access}});
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
    std::vector<float> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = (i / 20) % 2 ? 0.03f : -0.03f;
    return WAVWrapper::wrap(pcm16(tone.data(), tone.size()), 16000);
}

// The CPU time (clock ticks) the threads of process `pid` other than its
// main one have used: in dravelin-server, where the requests are served,
// that is decoding and recognising audio.
qint64 workerCpuTicks(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    qint64 ticks = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/stat")));
        if (task.toLongLong() == pid || !stat.open(QIODevice::ReadOnly))
            continue;
        // After the name in parentheses: the state (field 3) … utime (14), stime (15).
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        ticks += fields.value(11).toLongLong() + fields.value(12).toLongLong();
    }
    return ticks;
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

    // A real dravelin-server process over the same database and signing key
    // (no language model), on a port of its own; its port once it is
    // listening, or 0. The process is killed when `process` goes.
    quint16 startInstanceProcess(QProcess &process)
    {
        json::Json settings{{"port", 0}, {"llm", {{"provider", "none"}}}};
        settings["dataDir"] = m_config.dataDir;
        if (!m_config.database.isEmpty())
            settings["database"] = m_config.database;
        if (!m_config.signingKeyFile.isEmpty())
            settings["signingKeyFile"] = m_config.signingKeyFile;
        QFile file(dir.filePath(QStringLiteral("instance.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(json::encode(settings)) < 0)
            return 0;
        file.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(DRAVELIN_SERVER_BINARY),
                      {QStringLiteral("--config"), file.fileName(), QStringLiteral("--quiet")});
        // Its first line says where it listens.
        if (!QTest::qWaitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 60000))
            return 0;
        const QString banner = QString::fromUtf8(process.readLine());
        return static_cast<quint16>(
            QRegularExpression(QStringLiteral("on http://[^ ]+:(\\d+) ")).match(banner).captured(1).toUInt());
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
    const HttpResult me = userAt(*client, access);
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
    const json::Json kept = jsonOf(userAt(*client, access))["user_metadata"];
    EXPECT_EQ(kept, (json::Json{{"first_name", "Ada"}, {"avatar_preset", "fox"}}));

    // Refresh rotates: the new token works, the old one no longer does.
    const HttpResult rotated = refreshSession(*client, QString::fromLatin1(refresh));
    ASSERT_EQ(rotated.status, 200) << rotated.body.constData();
    const QByteArray refresh2 = str(jsonOf(rotated), "refresh_token").toLatin1();
    EXPECT_NE(refresh2, refresh);

    const HttpResult jsonRefresh = client->send("POST", QStringLiteral("/auth/v1/token?grant_type=refresh_token"),
                                                "{\"refresh_token\":\"" + refresh2 + "\"}",
                                                {{"apikey", kApiKey}, {"Content-Type", "application/json"}});
    EXPECT_EQ(jsonRefresh.status, 400); // issued to the OAuth client, not the JSON endpoint

    const QByteArray access2 = str(jsonOf(rotated), "access_token").toLatin1();
    EXPECT_EQ(logoutAt(*client, access2).status, 204);
    const HttpResult afterLogout = refreshSession(*client, QString::fromLatin1(refresh2));
    EXPECT_EQ(afterLogout.status, 400);
    EXPECT_FALSE(str(jsonOf(afterLogout), "error_description").isEmpty());
}

// A session is the database's, not an instance's.
TEST_F(ServerTest, AnotherInstanceOnTheSameDatabaseKnowsEverySessionChangeAtOnce)
{
    const Instance b = secondInstance();
    ASSERT_TRUE(b.client);
    HttpTestClient &clientB = *b.client;

    const json::Json session = signIn(); // through A
    const QByteArray accessA = str(session, "access_token").toLatin1();
    EXPECT_EQ(userAt(clientB, accessA).status, 200); // signed by the shared key
    const HttpResult rotated = refreshSession(clientB, str(session, "refresh_token"));
    ASSERT_EQ(rotated.status, 200) << rotated.body.constData();
    EXPECT_EQ(refreshSession(*client, str(session, "refresh_token")).status, 400); // replayed at A: caught

    // The replay ended the user's sessions everywhere; sign in again, then
    // sign out through A: B refuses the refresh token at once.
    const json::Json again = signIn();
    EXPECT_EQ(logoutAt(*client, str(again, "access_token").toLatin1()).status, 204);
    EXPECT_EQ(refreshSession(clientB, str(again, "refresh_token")).status, 400);
    EXPECT_EQ(refreshSession(clientB, str(jsonOf(rotated), "refresh_token")).status, 400);
}

// Usage is the database's too: a live dictation through one instance and an
// upload through another both count, and every instance tells the same.
TEST_F(ServerTest, ALiveDictationOnOneInstanceAndAnUploadOnAnotherLandInTheSameUsage)
{
    const Instance b = secondInstance();
    ASSERT_TRUE(b.client);
    const QByteArray access = str(signIn(), "access_token").toLatin1(); // through A
    const auto samples = decodeAudio(*s_speech);
    ASSERT_TRUE(samples) << qPrintable(samples.error());

    // The app's live client on A's socket, the recording in 100 ms frames.
    LiveTranscriptionClient live(QUrl(QStringLiteral("ws://127.0.0.1:%1/transcribe-stream").arg(server->port())), {},
                                 scheduler);
    LiveSessionOptions options;
    options.token = QString::fromLatin1(access);
    options.cleanup = false;
    options.appBundleID = QStringLiteral("org.example.Live");
    options.clientRecordingId = QUuid::createUuid();
    const auto started = QCoro::waitFor(live.start(options));
    ASSERT_TRUE(started) << qPrintable(started.error().message);
    const QByteArray pcm = pcm16(samples->data(), samples->size());
    for (qsizetype at = 0; at < pcm.size(); at += 3200)
        live.send(pcm.mid(at, 3200));
    const auto final = QCoro::waitFor(live.finalize(std::chrono::seconds(60)));
    ASSERT_TRUE(final.has_value()) << "no final text from the live socket";
    const QString liveRaw = live.rawText().value_or(QString());
    EXPECT_TRUE(liveRaw.contains(QStringLiteral("hello"), Qt::CaseInsensitive)) << qPrintable(liveRaw);

    // The upload (as org.example.Editor) through B.
    const QByteArray boundary = "Boundary-other-instance";
    const HttpResult uploaded = b.client->send(
        "POST", QStringLiteral("/functions/v1/transcribe"), transcribeBody(boundary, *s_speech, false, false),
        {{"Authorization", "Bearer " + access}, {"Content-Type", "multipart/form-data; boundary=" + boundary}});
    ASSERT_EQ(uploaded.status, 200) << uploaded.body.constData();
    const QString uploadRaw = str(jsonOf(uploaded), "raw");

    // The app's usage client, once at each instance: the same figures, with both dictations.
    NetworkRequestSender sender;
    test::FixedToken token(QString::fromLatin1(access));
    const auto usageAt = [&](quint16 port) {
        UsageService usage(QUrl(QStringLiteral("http://127.0.0.1:%1/functions/v1/usage").arg(port)), token, sender,
                           "UTC");
        return QCoro::waitFor(usage.fetch());
    };
    const auto atA = usageAt(server->port());
    const auto atB = usageAt(b.server->port());
    ASSERT_TRUE(atA) << qPrintable(atA.error());
    ASSERT_TRUE(atB) << qPrintable(atB.error());
    EXPECT_EQ(*atA, *atB);
    const auto words = [](const QString &text) { return text.split(u' ', Qt::SkipEmptyParts).size(); };
    const qint64 eachMs = static_cast<qint64>(samples->size()) * 1000 / 16000;
    EXPECT_EQ(atA->allTime.transcriptions, 2);
    EXPECT_EQ(atA->allTime.words, words(liveRaw) + words(uploadRaw));
    EXPECT_EQ(atA->allTime.seconds, (2 * eachMs + 500) / 1000);
    ASSERT_TRUE(atA->byApp);
    std::map<QString, std::pair<qint64, qint64>> byApp; // transcriptions, words
    for (const UsageApp &app : *atA->byApp)
        byApp[app.appBundleId.value_or(QString())] = {app.transcriptions, app.words};
    EXPECT_EQ(byApp, (std::map<QString, std::pair<qint64, qint64>>{
                         {QStringLiteral("org.example.Editor"), {1, words(uploadRaw)}},
                         {QStringLiteral("org.example.Live"), {1, words(liveRaw)}}}));
}

// One instance of a team's server dies (SIGKILL, as the OOM killer or a
// power cut does) while it is transcribing an upload and handing out
// sessions: its clients hear an error at once, the other instance serves
// every session the dead one handed out, and the database is whole.
TEST_F(ServerTest, AnInstanceKilledMidRequestLeavesTheOtherServingAndTheDatabaseWhole)
{
    QProcess killed;
    const quint16 port = startInstanceProcess(killed);
    ASSERT_NE(port, 0) << "dravelin-server did not start";
    const QString atKilled = QStringLiteral("http://127.0.0.1:%1").arg(port);
    HttpTestClient toKilled(atKilled);
    const QByteArray verifier = randomToken(48);
    const auto consented = test::consentInBrowser(toKilled, pkceChallenge(verifier), QStringLiteral("k"));
    const HttpResult issued = test::exchangeCode(toKilled, consented.code, verifier);
    ASSERT_EQ(issued.status, 200) << issued.body.constData();
    const json::Json session = jsonOf(issued);
    const QByteArray access = str(session, "access_token").toLatin1();

    // Another client signs in at the dying instance again and again (each
    // sign-in a user lookup, a code and a refresh token written)…
    std::mutex lock;
    std::vector<json::Json> sessions; // every one it was handed
    HttpResult lastFailure;
    std::atomic<int> signIns{0};
    std::unique_ptr<QThread> signer(QThread::create([&] {
        HttpTestClient client(atKilled);
        QElapsedTimer running;
        running.start();
        while (running.elapsed() < 60000) { // the instance dies long before
            const QByteArray v = randomToken(48);
            const auto c = test::consentInBrowser(client, pkceChallenge(v), QStringLiteral("t"),
                                                  QStringLiteral("allow"), QStringLiteral("team@example.com"));
            const HttpResult r = test::exchangeCode(client, c.code, v);
            const std::lock_guard held(lock);
            if (r.status != 200) {
                lastFailure = r;
                return;
            }
            sessions.push_back(jsonOf(r));
            ++signIns;
        }
    }));
    signer->start();
    // Whatever the test's end, the thread ends with the process.
    const auto joinSigner = qScopeGuard([&] {
        killed.kill();
        killed.waitForFinished(10000);
        signer->wait();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return signIns >= 3 || signer->isFinished(); }, 30000));
    ASSERT_GE(signIns, 3);

    // …and a long upload (90 s of speech: seconds at the engine) is in
    // flight when the instance is killed.
    std::vector<float> longSpeech;
    const auto samples = decodeAudio(*s_speech);
    ASSERT_TRUE(samples);
    while (longSpeech.size() < 90 * 16000)
        longSpeech.insert(longSpeech.end(), samples->begin(), samples->end());
    const QByteArray boundary = "Boundary-killed";
    QNetworkAccessManager nam;
    QNetworkRequest request(QUrl(atKilled + QStringLiteral("/functions/v1/transcribe")));
    request.setRawHeader("Authorization", "Bearer " + access);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    std::unique_ptr<QNetworkReply> upload(
        nam.post(request, transcribeBody(boundary, WAVWrapper::wrap(pcm16(longSpeech.data(), longSpeech.size()), 16000),
                                         false, false)));
    bool sent = false;
    QObject::connect(upload.get(), &QNetworkReply::uploadProgress, upload.get(),
                     [&sent](qint64 done, qint64 total) { sent = sent || (total > 0 && done == total); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent || upload->isFinished(); }, 30000));
    // Its worker threads at work: the upload is being decoded and recognised.
    ASSERT_TRUE(QTest::qWaitFor([&] { return workerCpuTicks(killed.processId()) > 0 || upload->isFinished(); }, 30000))
        << "the upload never reached the speech engine";
    ASSERT_FALSE(upload->isFinished()) << upload->readAll().constData();
    killed.kill(); // SIGKILL
    ASSERT_TRUE(killed.waitForFinished(10000));
    EXPECT_EQ(killed.exitStatus(), QProcess::CrashExit);

    // Neither client hangs, and neither was told anything but an error.
    ASSERT_TRUE(QTest::qWaitFor([&] { return upload->isFinished(); }, 10000)) << "the upload's client hangs";
    EXPECT_NE(upload->error(), QNetworkReply::NoError);
    EXPECT_EQ(upload->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return signer->isFinished(); }, 30000)) << "the signing-in client hangs";
    const std::lock_guard held(lock);
    EXPECT_EQ(lastFailure.status, 0) << lastFailure.body.constData();
    EXPECT_NE(lastFailure.error, QNetworkReply::NoError);

    // The surviving instance honours the sign-in: its access token, and its
    // refresh token, rotated there and again.
    const HttpResult me = userAt(*client, access);
    ASSERT_EQ(me.status, 200) << me.body.constData();
    const HttpResult rotated = refreshSession(*client, str(session, "refresh_token"));
    ASSERT_EQ(rotated.status, 200) << rotated.body.constData();
    EXPECT_EQ(userAt(*client, str(jsonOf(rotated), "access_token").toLatin1()).status, 200);
    EXPECT_EQ(refreshSession(*client, str(jsonOf(rotated), "refresh_token")).status, 200);
    // Every session the other client was handed is whole there.
    ASSERT_FALSE(sessions.empty());
    for (const json::Json &s : sessions) {
        EXPECT_EQ(userAt(*client, str(s, "access_token").toLatin1()).status, 200);
        EXPECT_EQ(refreshSession(*client, str(s, "refresh_token")).status, 200);
    }

    // The upload that died with its instance counted nothing, and the
    // database still takes writes (no lock left behind): a new sign-in.
    EXPECT_EQ(server->storage().transcriptionCount(str(jsonOf(me), "id")), 0);
    EXPECT_EQ(str(signIn()["user"], "email"), QStringLiteral("ada@example.com"));
    if (m_config.database.isEmpty()) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(qPrintable(m_config.dataDir + QStringLiteral("/dravelin-server.sqlite")), &db,
                                  SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        sqlite3_stmt *check = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "ok");
        sqlite3_finalize(check);
        sqlite3_close(db);
    }
}

TEST_F(ServerTest, WhenTheDatabaseTakesNoWritesSessionsAreNeitherIssuedNorFalselyRevoked)
{
    const json::Json session = signIn();
    const QByteArray access = str(session, "access_token").toLatin1();
    const QString refresh = str(session, "refresh_token");

    auto &storage = server->storage();
    storage.setReadOnly(true); // as on a full disk
    const HttpResult rotated = refreshSession(*client, refresh);
    EXPECT_EQ(rotated.status, 503);
    EXPECT_EQ(str(jsonOf(rotated), "error"), QStringLiteral("storage_unavailable"));
    EXPECT_EQ(logoutAt(*client, access).status, 503); // the app knows the sign-out did not happen
    const QByteArray verifier = randomToken(48);
    const auto consent =
        test::consentInBrowser(*client, pkceChallenge(verifier), QStringLiteral("s"), QStringLiteral("allow"));
    EXPECT_EQ(consent.redirectStatus, 503);

    // Space is back: the token that was never rotated still works once, and
    // a sign-out sticks.
    storage.setReadOnly(false);
    const HttpResult again = refreshSession(*client, refresh);
    ASSERT_EQ(again.status, 200) << again.body.constData();
    EXPECT_EQ(refreshSession(*client, refresh).status, 400);
    EXPECT_EQ(logoutAt(*client, access).status, 204);
    EXPECT_EQ(refreshSession(*client, str(jsonOf(again), "refresh_token")).status, 400);
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
    EXPECT_EQ(refreshSession(*client, str(jsonOf(issued), "refresh_token")).status, 400);

    const auto [denied, deniedState] = consent(pkceChallenge(verifier), QStringLiteral("d"), "deny");
    EXPECT_EQ(denied, QStringLiteral("error:access_denied"));

    const json::Json session = signIn();
    const QString refresh = str(session, "refresh_token");
    const HttpResult first = refreshSession(*client, refresh);
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(refreshSession(*client, refresh).status, 400);                             // replaying a rotated token…
    EXPECT_EQ(refreshSession(*client, str(jsonOf(first), "refresh_token")).status, 400); // …ends the whole family

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
    const QString sub = str(jsonOf(userAt(*client, str(jsonOf(first), "access_token").toLatin1())), "id");
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
    EXPECT_EQ(server->storage().transcriptionCount(str(jsonOf(userAt(*client, access)), "id")), 3);
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
    EXPECT_TRUE(refused.error().contains(QStringLiteral("dravelin-model install"))) << qPrintable(refused.error());
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
