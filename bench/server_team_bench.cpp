// dravelin-server for a team: one instance or two over one database, and
// SQLite or PostgreSQL under it. Starts real dravelin-server processes on
// free loopback ports (Whisper tiny.en, no language model), signs in through
// the consent page like the app, and prints one line per figure.
//
//   build/dev/bench/server_team_bench [--seconds N] [--only instances|storage] [path/to/dravelin-server]
//
// Instances, 1 and then 2 over one database, requests spread round robin:
//   - /health with nothing else going on (100 requests, one after the other);
//   - token refresh (50 rotations of one session, each at the next instance);
//   - N seconds (30) of transcription uploads of a 4.6 s synthesised
//     sentence, 4 always in flight, while /health is asked every 100 ms:
//     transcriptions per minute and /health under that load.
// Storage, one instance: 100 each of the whole browser sign-in (authorize
// page, consent, code exchange), the code exchange alone, token refresh and
// the usage query the app makes (?tz=…&days=90, for a user with 1000
// dictations over 90 days).
//
// Both parts run on SQLite in a fresh data directory, and again on
// PostgreSQL when $DRAVELIN_TEST_POSTGRES names a database (run the bench
// under tests/integration/with-postgres.sh), each on a schema of its own.

#include "ServerConfig.h"
#include "ServerProcess.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "core/LogHandler.h"
#include "storage/OpenStorage.h"
#include "storage/Storage.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/ScratchPostgres.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

using namespace dravelin;
using test::HttpResult;
using test::HttpTestClient;

namespace {

constexpr int kUploadsInFlight = 4;
constexpr int kIdleHealthRequests = 100;
constexpr int kRefreshes = 50;
constexpr int kStorageRequests = 100;
constexpr int kSeededDictations = 1000;

// `text` spoken by espeak-ng (US English, 150 words a minute) as WAV bytes;
// empty when espeak-ng fails.
QByteArray synthesizeSpeech(const QString &path, const QString &text)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), QStringLiteral("en-us"), QStringLiteral("-s"),
                                               QStringLiteral("150"), QStringLiteral("-w"), path, text});
    if (!espeak.waitForFinished(60000) || espeak.exitCode() != 0)
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

QString figures(const std::vector<double> &ms)
{
    return QStringLiteral("p50 %1 ms, p99 %2 ms over %3")
        .arg(percentile(ms, 0.5), 0, 'f', 1)
        .arg(percentile(ms, 0.99), 0, 'f', 1)
        .arg(ms.size());
}

double msSince(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
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

// The database the instances share: a fresh SQLite data directory, or a
// fresh schema in the PostgreSQL database of $DRAVELIN_TEST_POSTGRES.
struct Database
{
    explicit Database(bool postgres)
    {
        dataDir = dir.filePath(QStringLiteral("data"));
        if (!postgres)
            return;
        scratch = std::make_unique<test::ScratchPostgres>();
        error = scratch->error();
        connection = scratch->connection();
        signingKeyFile = test::ScratchPostgres::writeSigningKey(dir.path());
        QFile config(dir.filePath(QStringLiteral("team.json")));
        json::Json settings;
        settings["signingKeyFile"] = signingKeyFile;
        if (!config.open(QIODevice::WriteOnly) || config.write(json::encode(settings)) < 0)
            error = QStringLiteral("cannot write %1").arg(config.fileName());
        configFile = config.fileName();
    }
    QString name() const { return connection.isEmpty() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL"); }

    // Each instance has a data directory of its own on PostgreSQL (as on
    // separate machines); on SQLite they share the file (one machine).
    QStringList arguments() const
    {
        QStringList args{QStringLiteral("--llm"), QStringLiteral("none"), QStringLiteral("--model"),
                         QStringLiteral("tiny.en")};
        if (!connection.isEmpty())
            args << QStringLiteral("--database") << connection << QStringLiteral("--config") << configFile;
        return args;
    }
    QString dataDirOf(int instance) const
    {
        return connection.isEmpty() ? dataDir : dataDir + QString::number(instance);
    }

    QTemporaryDir dir;
    std::unique_ptr<test::ScratchPostgres> scratch;
    QString dataDir;
    QString connection;
    QString signingKeyFile;
    QString configFile;
    QString error;
};

// dravelin-server processes over one database.
struct Instances
{
    std::vector<std::unique_ptr<QProcess>> processes;
    std::vector<quint16> ports;
    std::vector<std::unique_ptr<HttpTestClient>> clients;

    bool start(const QString &serverPath, const Database &db, int count)
    {
        for (int i = 0; i < count; ++i) {
            processes.push_back(std::make_unique<QProcess>());
            const quint16 port = bench::startServer(*processes.back(), serverPath, db.dataDirOf(i), db.arguments());
            if (port == 0)
                return false;
            if (i == 0)
                std::printf("  %s\n", processes.back()->readLine().trimmed().constData()); // its engine and database
            ports.push_back(port);
            clients.push_back(std::make_unique<HttpTestClient>(QStringLiteral("http://127.0.0.1:%1").arg(port)));
        }
        return true;
    }
    HttpTestClient &at(size_t i) { return *clients[i % clients.size()]; }
    ~Instances()
    {
        for (auto &p : processes) {
            p->terminate();
            p->waitForFinished(10000);
        }
    }
};

json::Json signIn(HttpTestClient &client, const QString &email = QStringLiteral("ada@example.com"))
{
    const QByteArray verifier = server::randomToken(48);
    const auto consent = test::consentInBrowser(client, server::pkceChallenge(verifier), QStringLiteral("bench"),
                                                QStringLiteral("allow"), email);
    return jsonOf(test::exchangeCode(client, consent.code, verifier));
}

HttpResult refresh(HttpTestClient &client, const QString &token)
{
    return client.send("POST", QStringLiteral("/auth/v1/oauth/token"),
                       test::formEncode({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                         {QStringLiteral("refresh_token"), token},
                                         {QStringLiteral("client_id"), QString::fromLatin1(test::kLocalClientId)}}),
                       {{"Content-Type", "application/x-www-form-urlencoded"}});
}

QByteArray uploadRequest(const QByteArray &token, const QByteArray &audio)
{
    const QByteArray boundary = "Boundary-team-bench";
    QByteArray body = "--" + boundary +
                      "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"speech.wav\"\r\n"
                      "Content-Type: audio/wav\r\n\r\n" +
                      audio + "\r\n";
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"cleanup\"\r\n\r\n1\r\n";
    body += "--" + boundary + "--\r\n";
    return "POST /functions/v1/transcribe HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer " +
           token + "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Sends `bytes` on a fresh connection and calls `done` with the status of
// what the server sent back once it closed (0: no answer).
void exchange(quint16 port, const QByteArray &bytes, std::function<void(int)> done)
{
    auto *socket = new QTcpSocket;
    auto received = std::make_shared<QByteArray>();
    auto finish = [socket, received, done] {
        *received += socket->readAll();
        socket->deleteLater();
        done(received->startsWith("HTTP/1.1 ") ? received->mid(9, 3).toInt() : 0);
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, bytes] { socket->write(bytes); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, received] { *received += socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, finish);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [finish](auto error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            finish();
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
}

// GET /health on a kept-alive connection: the time to the whole answer.
class HealthProbe
{
public:
    explicit HealthProbe(quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
            m_answer += m_socket.readAll();
            const qsizetype end = m_answer.indexOf("\r\n\r\n");
            const qsizetype at = m_answer.indexOf("Content-Length: ");
            if (!m_busy || end < 0 || at < 0 ||
                m_answer.size() < end + 4 + m_answer.mid(at + 16, 8).split('\r').first().toInt())
                return;
            m_busy = false;
            if (m_answer.startsWith("HTTP/1.1 200"))
                latencies.push_back(msSince(m_sent));
            else
                ++failures;
        });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(5000);
    }
    // Asks unless the last answer is still outstanding (a skipped tick).
    void ask()
    {
        if (m_busy) {
            ++skipped;
            return;
        }
        m_busy = true;
        m_answer.clear();
        m_sent.start();
        m_socket.write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    std::vector<double> latencies;
    int failures = 0;
    int skipped = 0;

private:
    QTcpSocket m_socket;
    QByteArray m_answer;
    QElapsedTimer m_sent;
    bool m_busy = false;
};

bool benchInstances(const QString &serverPath, Database &db, int count, int seconds, const QByteArray &speech)
{
    std::printf("%s, %d instance%s:\n", qPrintable(db.name()), count, count == 1 ? "" : "s");
    Instances instances;
    if (!instances.start(serverPath, db, count))
        return false;
    json::Json session = signIn(instances.at(0));
    const QByteArray access = str(session, "access_token").toLatin1();
    if (access.isEmpty()) {
        std::fprintf(stderr, "sign-in failed\n");
        return false;
    }

    std::vector<double> health;
    for (int i = 0; i < kIdleHealthRequests; ++i) {
        QElapsedTimer t;
        t.start();
        if (instances.at(static_cast<size_t>(i)).send("GET", QStringLiteral("/health")).status != 200)
            return false;
        health.push_back(msSince(t));
    }
    std::printf("  health, idle: %s\n", qPrintable(figures(health)));

    std::vector<double> refreshes;
    QString token = str(session, "refresh_token");
    for (int i = 0; i < kRefreshes; ++i) {
        QElapsedTimer t;
        t.start();
        const HttpResult r = refresh(instances.at(static_cast<size_t>(i)), token);
        refreshes.push_back(msSince(t));
        token = str(jsonOf(r), "refresh_token");
        if (r.status != 200) {
            std::fprintf(stderr, "refresh %d failed: %d %s\n", i, r.status, r.body.constData());
            return false;
        }
    }
    std::printf("  token refresh, round robin over the instances: %s\n", qPrintable(figures(refreshes)));

    // Uploads, round robin, 4 always in flight for `seconds`; /health every
    // 100 ms. First one upload at each instance, so every model is loaded.
    const QByteArray upload = uploadRequest(access, speech);
    for (quint16 port : instances.ports) {
        int status = -1;
        exchange(port, upload, [&status](int s) {
            status = s;
            QCoreApplication::quit();
        });
        QCoreApplication::exec();
        if (status != 200) {
            std::fprintf(stderr, "the warm-up upload failed: %d\n", status);
            return false;
        }
    }
    std::vector<std::unique_ptr<HealthProbe>> probes;
    for (quint16 port : instances.ports)
        probes.push_back(std::make_unique<HealthProbe>(port));
    int issued = 0;
    int done = 0;
    int inWindow = 0;
    int failed = 0;
    int inFlight = 0;
    bool stopping = false;
    QElapsedTimer clock;
    const qint64 windowMs = seconds * 1000LL;
    std::vector<double> transcribeMs;
    std::function<void()> send = [&] {
        const quint16 port = instances.ports[static_cast<size_t>(issued++) % instances.ports.size()];
        ++inFlight;
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        exchange(port, upload, [&, started](int status) {
            --inFlight;
            if (status == 200) {
                ++done;
                transcribeMs.push_back(msSince(*started));
                if (clock.elapsed() <= windowMs)
                    ++inWindow;
            } else {
                ++failed;
            }
            if (!stopping && clock.elapsed() < windowMs)
                send();
            else if (inFlight == 0)
                QCoreApplication::quit();
        });
    };
    int tick = 0;
    QTimer healthTimer;
    QObject::connect(&healthTimer, &QTimer::timeout,
                     [&] { probes[static_cast<size_t>(tick++) % probes.size()]->ask(); });
    QTimer watchdog; // a server that stopped answering
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { QCoreApplication::exit(1); });
    clock.start();
    for (int i = 0; i < kUploadsInFlight; ++i)
        send();
    healthTimer.start(100);
    watchdog.start(windowMs + 120000);
    const int code = QCoreApplication::exec();
    stopping = true;
    healthTimer.stop();
    if (code != 0) {
        std::fprintf(stderr, "the uploads did not all finish\n");
        return false;
    }
    std::vector<double> loaded;
    int healthFailed = 0;
    int skipped = 0;
    for (const auto &probe : probes) {
        loaded.insert(loaded.end(), probe->latencies.begin(), probe->latencies.end());
        healthFailed += probe->failures;
        skipped += probe->skipped;
    }
    std::printf("  transcriptions: %.1f per minute (%d in the %d s window, %d in all, %d failed; "
                "upload to answer %s)\n",
                inWindow * 60.0 / seconds, inWindow, seconds, done, failed, qPrintable(figures(transcribeMs)));
    std::printf("  health under that load: %s (%d failed, %d ticks skipped while one was outstanding)\n",
                qPrintable(figures(loaded)), healthFailed, skipped);
    return true;
}

bool benchStorage(const QString &serverPath, Database &db)
{
    std::printf("%s, 1 instance:\n", qPrintable(db.name()));
    Instances instances;
    if (!instances.start(serverPath, db, 1))
        return false;
    HttpTestClient &client = instances.at(0);

    std::vector<double> whole;
    std::vector<double> exchanges;
    json::Json session;
    for (int i = 0; i < kStorageRequests; ++i) {
        const QByteArray verifier = server::randomToken(48);
        QElapsedTimer t;
        t.start();
        const auto consent = test::consentInBrowser(client, server::pkceChallenge(verifier), QStringLiteral("bench"));
        QElapsedTimer e;
        e.start();
        const HttpResult tokens = test::exchangeCode(client, consent.code, verifier);
        exchanges.push_back(msSince(e));
        whole.push_back(msSince(t));
        if (tokens.status != 200) {
            std::fprintf(stderr, "sign-in %d failed: %d %s\n", i, tokens.status, tokens.body.constData());
            return false;
        }
        session = jsonOf(tokens);
    }
    std::printf("  sign-in, authorize page + consent + code exchange: %s\n", qPrintable(figures(whole)));
    std::printf("  code exchange alone: %s\n", qPrintable(figures(exchanges)));

    std::vector<double> refreshes;
    QString token = str(session, "refresh_token");
    for (int i = 0; i < kStorageRequests; ++i) {
        QElapsedTimer t;
        t.start();
        const HttpResult r = refresh(client, token);
        refreshes.push_back(msSince(t));
        token = str(jsonOf(r), "refresh_token");
        if (r.status != 200) {
            std::fprintf(stderr, "refresh %d failed: %d %s\n", i, r.status, r.body.constData());
            return false;
        }
    }
    std::printf("  token refresh: %s\n", qPrintable(figures(refreshes)));

    // 1000 dictations over the last 90 days, written straight into the
    // database (as many uploads would have), then the app's usage query.
    server::ServerConfig config;
    config.dataDir = db.dataDirOf(0);
    config.database = db.connection;
    auto storage = server::openStorage(config);
    const QString userId = str(session["user"], "id");
    if (!storage || userId.isEmpty()) {
        std::fprintf(stderr, "cannot open the database: %s\n", storage ? "no user" : qPrintable(storage.error()));
        return false;
    }
    std::mt19937 rng(7);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QStringList apps{QStringLiteral("org.example.Editor"), QStringLiteral("org.example.Mail"),
                           QStringLiteral("org.example.Chat"), QString()};
    for (int i = 0; i < kSeededDictations; ++i) {
        server::TranscriptionRecord record;
        record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        record.userId = userId;
        record.createdAt = now - std::uniform_int_distribution<qint64>(0, 90LL * 86400)(rng);
        record.durationMs = std::uniform_int_distribution<qint64>(1000, 60000)(rng);
        record.words = static_cast<int>(record.durationMs / 400);
        record.engine = QStringLiteral("whisper.cpp:tiny.en");
        record.appBundleId = apps[static_cast<qsizetype>(i) % apps.size()];
        (*storage)->recordTranscription(record);
    }
    storage->reset();
    const QByteArray access = str(session, "access_token").toLatin1();
    std::vector<double> usage;
    for (int i = 0; i < kStorageRequests; ++i) {
        QElapsedTimer t;
        t.start();
        const HttpResult r = client.send("GET", QStringLiteral("/functions/v1/usage?tz=Europe%2FBerlin&days=90"), {},
                                         {{"Authorization", "Bearer " + access}});
        usage.push_back(msSince(t));
        if (r.status != 200 || jsonOf(r)["all_time"]["transcriptions"] != kSeededDictations) {
            std::fprintf(stderr, "usage failed: %d %s\n", r.status, r.body.left(200).constData());
            return false;
        }
    }
    std::printf("  usage query (%d dictations, 90 days): %s\n", kSeededDictations, qPrintable(figures(usage)));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    logs::Router::install(); // the bench's own database writes say nothing
    QString serverPath = QCoreApplication::applicationDirPath() + QStringLiteral("/../server/dravelin-server");
    int seconds = 30;
    QString only;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::max(5, QByteArray(argv[++i]).toInt());
        else if (arg == "--only" && i + 1 < argc)
            only = QString::fromLocal8Bit(argv[++i]);
        else
            serverPath = QString::fromLocal8Bit(argv[i]);
    }
    QTemporaryDir scratch;
    const QByteArray speech =
        synthesizeSpeech(scratch.filePath(QStringLiteral("speech.wav")),
                         QStringLiteral("Please send the quarterly report to the team before Friday afternoon."));
    if (speech.isEmpty()) {
        std::fprintf(stderr, "espeak-ng failed\n");
        return 1;
    }
    std::vector<bool> engines{false};
    if (test::ScratchPostgres::configured())
        engines.push_back(true);
    else
        std::printf("(no $DRAVELIN_TEST_POSTGRES: SQLite only; run under tests/integration/with-postgres.sh for "
                    "PostgreSQL too)\n");

    for (const bool postgres : engines) {
        if (only.isEmpty() || only == u"instances") {
            for (int count : {1, 2}) {
                Database db(postgres);
                if (!db.error.isEmpty()) {
                    std::fprintf(stderr, "%s\n", qPrintable(db.error));
                    return 1;
                }
                if (!benchInstances(serverPath, db, count, seconds, speech))
                    return 1;
            }
        }
        if (only.isEmpty() || only == u"storage") {
            Database db(postgres);
            if (!db.error.isEmpty()) {
                std::fprintf(stderr, "%s\n", qPrintable(db.error));
                return 1;
            }
            if (!benchStorage(serverPath, db))
                return 1;
        }
    }
    return 0;
}
