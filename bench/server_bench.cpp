// dravelin-server benchmarks: starts the real server as its own process on a
// free port, signs in like the app, and measures transcription latency and
// real-time factor for about 5 s and 30 s of speech, and cleanup requests per
// second. Prints one line per figure.

#include "ServerProcess.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/Speech.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

using namespace dravelin;
using test::HttpResult;
using test::HttpTestClient;

namespace {

QByteArray speech(const QString &dir, const QString &name, const QString &text)
{
    return test::synthesizeSpeech(dir + u'/' + name, text, 150);
}

double wavSeconds(const QByteArray &wav)
{
    // 44-byte header, 16-bit mono at the rate in bytes 24..27.
    const quint32 rate = qFromLittleEndian<quint32>(wav.constData() + 24);
    return static_cast<double>(wav.size() - 44) / 2.0 / rate;
}

QByteArray multipart(const QByteArray &audio, const QByteArray &boundary)
{
    QByteArray body = "--" + boundary +
                      "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"audio.m4a\"\r\n"
                      "Content-Type: audio/mp4\r\n\r\n" +
                      audio + "\r\n";
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"cleanup\"\r\n\r\n1\r\n";
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"stream\"\r\n\r\n0\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString serverPath =
        argc > 1 ? QString::fromLocal8Bit(argv[1])
                 : QCoreApplication::applicationDirPath() + QStringLiteral("/../server/dravelin-server");
    QTemporaryDir dir;
    QProcess server;
    const quint16 port = bench::startServer(server, serverPath, dir.filePath(QStringLiteral("data")));
    if (port == 0)
        return 1;
    HttpTestClient client(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const QByteArray verifier = server::randomToken(48);
    const auto consent = test::consentInBrowser(client, server::pkceChallenge(verifier), QStringLiteral("bench"));
    const HttpResult tokens = test::exchangeCode(client, consent.code, verifier);
    const auto session = json::parse(tokens.body);
    const QByteArray access =
        session ? json::optionalField<QString>(*session, "access_token").value_or(QString()).toLatin1() : QByteArray();
    if (access.isEmpty()) {
        std::fprintf(stderr, "sign-in failed: %d %s\n", tokens.status, tokens.body.constData());
        return 1;
    }

    const QString sentence = QStringLiteral("Please send the quarterly report to the team before Friday afternoon. ");
    const QByteArray shortSpeech = speech(dir.path(), QStringLiteral("short.wav"), sentence);
    QString longText;
    while (longText.size() < sentence.size() * 6)
        longText += sentence;
    const QByteArray longSpeech = speech(dir.path(), QStringLiteral("long.wav"), longText);

    for (const auto &[label, audio] : {std::pair{"short", shortSpeech}, std::pair{"long", longSpeech}}) {
        const double seconds = wavSeconds(audio);
        std::vector<double> latencies;
        for (int run = 0; run < 3; ++run) {
            const QByteArray boundary =
                "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
            QElapsedTimer timer;
            timer.start();
            const HttpResult r = client.send(
                "POST", QStringLiteral("/functions/v1/transcribe"), multipart(audio, boundary),
                {{"Authorization", "Bearer " + access}, {"Content-Type", "multipart/form-data; boundary=" + boundary}},
                600000);
            if (r.status != 200) {
                std::fprintf(stderr, "transcribe failed: %d %s\n", r.status, r.body.constData());
                return 1;
            }
            latencies.push_back(static_cast<double>(timer.elapsed()));
        }
        const double ms = median(latencies);
        std::printf("transcribe_%s: %.1f s of speech, median %.0f ms over 3 runs, real-time factor %.2f\n", label,
                    seconds, ms, ms / 1000.0 / seconds);
    }

    // Cleanup throughput: 8 requests in flight for 5 s.
    QNetworkAccessManager nam;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/functions/v1/cleanup").arg(port)));
    request.setRawHeader("Authorization", "Bearer " + access);
    request.setRawHeader("Content-Type", "application/json");
    const QByteArray body =
        R"({"text":"um so first buy milk second call mum you know","filler_words_enabled":true,"filler_words":["um","you know"]})";
    int done = 0;
    int failed = 0;
    int inFlight = 0;
    QElapsedTimer clock;
    clock.start();
    std::function<void()> fire = [&] {
        ++inFlight;
        QNetworkReply *reply = nam.post(request, body);
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            --inFlight;
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 ? ++done : ++failed;
            reply->deleteLater();
            if (clock.elapsed() < 5000)
                fire();
            else if (inFlight == 0)
                QCoreApplication::quit();
        });
    };
    for (int i = 0; i < 8; ++i)
        fire();
    app.exec();
    std::printf("cleanup: %.0f requests/s (%d in %.1f s, %d failed, 8 in flight)\n", done / (clock.elapsed() / 1000.0),
                done, clock.elapsed() / 1000.0, failed);
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}
