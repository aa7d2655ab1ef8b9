// dravelin-server under load: starts the real server as its own process on a
// free loopback port, then keeps 200 connections trickling their headers a
// byte at a time, 8 transcription uploads (a short generated WAV) in flight,
// and a 1 MiB JSON body going to the cleanup function, while it measures how
// long /health takes (50 requests, one every 100 ms, on a kept-alive
// connection). Prints one line per figure, and whether /health met its 50 ms
// target at p99.
//
//   build/dev/bench/server_load_bench [--without slow|uploads|big]... [path/to/dravelin-server]
//
// --without leaves one kind of load out, to see what each costs.

#include "ServerProcess.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace dravelin;

namespace {

constexpr int kSlowConnections = 200;
constexpr int kUploadsInFlight = 8;
constexpr int kHealthRequests = 50;
constexpr qint64 kBigBodyBytes = 1 << 20;

// One second of a 440 Hz tone, 16 kHz mono 16-bit WAV.
QByteArray toneWav()
{
    QByteArray pcm(16000 * 2, Qt::Uninitialized);
    for (int i = 0; i < 16000; ++i)
        qToLittleEndian<qint16>(static_cast<qint16>(3000 * ((i * 440 / 8000) % 2 ? 1 : -1)), pcm.data() + 2 * i);
    QByteArray wav(44, '\0');
    char *h = wav.data();
    std::memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(36 + pcm.size(), h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20);
    qToLittleEndian<quint16>(1, h + 22);
    qToLittleEndian<quint32>(16000, h + 24);
    qToLittleEndian<quint32>(32000, h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(pcm.size(), h + 40);
    return wav + pcm;
}

QByteArray request(const QByteArray &method, const QByteArray &path, const QByteArray &token,
                   const QByteArray &contentType, const QByteArray &body)
{
    return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer " + token +
           "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

// The status of a whole response read until the server closed.
int statusOf(const QByteArray &response)
{
    return response.startsWith("HTTP/1.1 ") ? response.mid(9, 3).toInt() : 0;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Sends `bytes` on a fresh connection and calls `done` with everything the
// server sent back once it closed (Connection: close).
void exchange(quint16 port, const QByteArray &bytes, std::function<void(const QByteArray &)> done)
{
    auto *socket = new QTcpSocket;
    auto received = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, bytes] { socket->write(bytes); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, received] { *received += socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, received, done] {
        *received += socket->readAll();
        socket->deleteLater();
        done(*received);
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [socket, received, done](auto error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            return; // disconnected() follows
        socket->deleteLater();
        done(*received);
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QString serverPath = QCoreApplication::applicationDirPath() + QStringLiteral("/../server/dravelin-server");
    QStringList without;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--without" && i + 1 < argc)
            without << QString::fromLocal8Bit(argv[++i]);
        else
            serverPath = QString::fromLocal8Bit(argv[i]);
    }
    QTemporaryDir dir;
    QProcess server;
    const quint16 port = bench::startServer(server, serverPath, dir.filePath(QStringLiteral("data")),
                                            {QStringLiteral("--llm"), QStringLiteral("none")});
    if (port == 0)
        return 1;
    std::printf("%s\n", server.readLine().trimmed().constData()); // its version and engine
    test::HttpTestClient client(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const QByteArray token = test::signInForAccessToken(client).toLatin1();
    if (token.isEmpty()) {
        std::fprintf(stderr, "sign-in failed\n");
        return 1;
    }

    // 200 connections that send a request line, then one header byte a
    // second; the server's header deadline ends each, and it is opened again.
    int slowOpen = 0;
    int slowRefused = 0;
    std::function<void()> openSlow = [&] {
        auto *socket = new QTcpSocket(&app);
        auto *drip = new QTimer(socket);
        QObject::connect(socket, &QTcpSocket::connected, socket, [&, socket, drip] {
            ++slowOpen;
            socket->write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: ");
            drip->start(1000);
        });
        QObject::connect(drip, &QTimer::timeout, socket, [socket] { socket->write("a"); });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            if (socket->readAll().startsWith("HTTP/1.1 503"))
                ++slowRefused;
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [&, socket] {
            --slowOpen;
            socket->deleteLater();
            QTimer::singleShot(0, &app, openSlow);
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    };
    for (int i = 0; i < kSlowConnections && !without.contains(u"slow"); ++i)
        openSlow();

    // 8 uploads always in flight: one at the engine, the rest queued.
    const QByteArray boundary = "Boundary-load-bench";
    const QByteArray upload =
        request("POST", "/functions/v1/transcribe", token, "multipart/form-data; boundary=" + boundary,
                "--" + boundary + "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"tone.wav\"\r\n\r\n" +
                    toneWav() + "\r\n--" + boundary + "--\r\n");
    int uploadsDone = 0;
    int uploadsBusy = 0;
    int uploadsFailed = 0;
    bool stopping = false;
    std::function<void()> sendUpload = [&] {
        exchange(port, upload, [&](const QByteArray &response) {
            const int status = statusOf(response);
            if (status == 200)
                ++uploadsDone;
            else if (status == 503)
                ++uploadsBusy;
            else
                ++uploadsFailed;
            if (!stopping)
                QTimer::singleShot(status == 503 ? 200 : 0, &app, sendUpload);
        });
    };
    for (int i = 0; i < kUploadsInFlight && !without.contains(u"uploads"); ++i)
        sendUpload();

    // A 1 MiB JSON body to cleanup, one after the other.
    QByteArray text;
    while (text.size() < kBigBodyBytes - 64)
        text += "um so this is a sentence that goes on and on ";
    const QByteArray big =
        request("POST", "/functions/v1/cleanup", token, "application/json", "{\"text\":\"" + text + "\"}");
    std::vector<double> bigMs;
    int bigFailed = 0;
    int bigStatus = 0;
    std::function<void()> sendBig = [&] {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        exchange(port, big, [&, timer](const QByteArray &response) {
            bigStatus = statusOf(response);
            if (bigStatus > 0)
                bigMs.push_back(static_cast<double>(timer->elapsed()));
            else
                ++bigFailed;
            if (!stopping)
                sendBig();
        });
    };
    if (!without.contains(u"big"))
        sendBig();

    // /health on a kept-alive connection, once the load is in place.
    QTcpSocket health;
    std::vector<double> healthMs;
    QByteArray answer;
    QElapsedTimer sent;
    auto askHealth = [&] {
        answer.clear();
        sent.start();
        health.write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    };
    QObject::connect(&health, &QTcpSocket::readyRead, &health, [&] {
        answer += health.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const qsizetype at = answer.indexOf("Content-Length: ");
        if (end < 0 || at < 0 || answer.size() < end + 4 + answer.mid(at + 16, 8).split('\r').first().toInt())
            return;
        healthMs.push_back(static_cast<double>(sent.nsecsElapsed()) / 1e6);
        if (static_cast<int>(healthMs.size()) == kHealthRequests)
            app.quit();
        else
            QTimer::singleShot(100, &app, askHealth);
    });
    QTimer::singleShot(3000, &app, [&] {
        health.connectToHost(QHostAddress::LocalHost, port);
        if (!health.waitForConnected(5000)) {
            std::fprintf(stderr, "cannot reach /health\n");
            app.exit(1);
            return;
        }
        askHealth();
    });
    QTimer::singleShot(120000, &app, [&] { app.exit(1); }); // a server that stopped answering
    const int code = app.exec();
    stopping = true;
    if (code != 0 || healthMs.empty()) {
        std::fprintf(stderr, "the /health requests did not all complete (%zu answered)\n", healthMs.size());
        return 1;
    }

    const double p50 = percentile(healthMs, 0.5);
    const double p99 = percentile(healthMs, 0.99);
    const double max = *std::max_element(healthMs.begin(), healthMs.end());
    std::printf("health: p50 %.1f ms, p99 %.1f ms, max %.1f ms over %d requests (target 50 ms: %s)\n", p50, p99, max,
                kHealthRequests, p99 <= 50.0 ? "met" : "MISSED");
    std::printf("slow connections: %d open at the end, %d turned away\n", slowOpen, slowRefused);
    std::printf("uploads: %d transcribed, %d refused busy, %d failed (%d kept in flight)\n", uploadsDone, uploadsBusy,
                uploadsFailed, kUploadsInFlight);
    std::printf("1 MiB cleanup body: %zu answered (HTTP %d), median %.0f ms, %d without an answer\n", bigMs.size(),
                bigStatus, bigMs.empty() ? 0.0 : percentile(bigMs, 0.5), bigFailed);
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
