#include "output/RecordingUploader.h"

#include "core/Json.h"
#include "core/Log.h"
#include "core/Scheduler.h"
#include "output/RecordingTranscoder.h"
#include "output/UserDataPaths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>

namespace dravelin {

namespace {

constexpr int kAttachAttempts = 4;
constexpr Millis kAttachBackoff{300};
constexpr Millis kRequestTimeout{60000};

void info(const QString &message)
{
    logs::info(logs::recordingUpload(), message);
}

void error(const QString &message)
{
    logs::error(logs::recordingUpload(), message);
}

struct Payload
{
    QByteArray bytes;
    QStringList temporaryFiles;
    void cleanUp() const
    {
        for (const QString &file : temporaryFiles)
            QFile::remove(file);
    }
};

} // namespace

RecordingUploader::RecordingUploader(TokenSource &auth, QUrl attachEndpoint, QByteArray anonKey,
                                     AuthRequestSending &sender, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_auth(auth)
    , m_attachEndpoint(std::move(attachEndpoint))
    , m_anonKey(std::move(anonKey))
    , m_sender(sender)
    , m_scheduler(scheduler)
{}

void RecordingUploader::upload(QByteArray data, QUuid clientRecordingId, QUrl uploadURL, QString objectKey)
{
    auto run = [](QPointer<RecordingUploader> self, QByteArray bytes, QUuid id, QUrl url,
                  QString key) -> QCoro::Task<> {
        if (self)
            co_await self->uploadNow(std::move(bytes), id, std::move(url), std::move(key));
    };
    m_tasks.track(run(QPointer<RecordingUploader>(this), std::move(data), clientRecordingId, std::move(uploadURL),
                      std::move(objectKey)));
}

QCoro::Task<std::optional<int>> RecordingUploader::send(HttpRequest request, QString stage)
{
    AuthRequestSending &sender = m_sender;
    const auto reply = co_await sender.send(std::move(request));
    if (!reply) {
        info(QStringLiteral("Recording %1 did not complete: %2").arg(stage, reply.error().description));
        co_return std::nullopt;
    }
    co_return reply->status;
}

QCoro::Task<bool> RecordingUploader::uploadNow(QByteArray data, QUuid clientRecordingId, QUrl uploadURL,
                                               QString objectKey)
{
    if (data.size() < 45) {
        logs::debug(logs::recordingUpload(), QStringLiteral("Skipping upload — capture too small to be audio"));
        co_return false;
    }
    QPointer<RecordingUploader> self(this);
    const auto token = co_await m_auth.currentAccessToken();
    if (!self)
        co_return false;
    if (!token || token->isEmpty()) {
        info(QStringLiteral("Skipping upload — no signed-in account"));
        co_return false;
    }

    // Encode.
    QElapsedTimer timer;
    timer.start();
    Payload payload;
    switch (RecordingTranscoder::sniff(data)) {
    case RecordingTranscoder::Container::wav: {
        const QString base = QDir::temp().filePath(QStringLiteral("upload-") +
                                                   QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
        const QString wav = base + QStringLiteral(".wav");
        const QString m4a = base + QStringLiteral(".m4a");
        payload.temporaryFiles = {wav, m4a};
        // In the shared temporary folder: readable by this user only.
        QString failure;
        if (UserDataPaths::writePrivateFile(wav, data, &failure)) {
            if (const auto encoded = RecordingTranscoder::encodeAAC(wav, m4a); !encoded) {
                failure = encoded.error().description();
            } else {
                QFile out(m4a);
                if (out.open(QIODevice::ReadOnly))
                    payload.bytes = out.readAll();
                else
                    failure = out.errorString();
            }
        }
        if (!failure.isEmpty()) {
            error(QStringLiteral("Upload encode failed: %1 — not uploading").arg(failure));
            payload.cleanUp();
            co_return false;
        }
        break;
    }
    case RecordingTranscoder::Container::mpeg4:
        payload.bytes = data;
        break;
    case RecordingTranscoder::Container::unknown:
        error(QStringLiteral("Capture in an unrecognized container — not uploading"));
        co_return false;
    }
    const qint64 encodeMs = timer.restart();

    // Store.
    HttpRequest put;
    put.method = "PUT";
    put.url = uploadURL;
    put.body = payload.bytes;
    put.timeout = kRequestTimeout;
    const auto stored = co_await send(std::move(put), QStringLiteral("upload"));
    if (!self) {
        payload.cleanUp();
        co_return false;
    }
    if (!stored || *stored < 200 || *stored > 299) {
        if (stored)
            error(QStringLiteral("Recording upload rejected (HTTP %1)").arg(*stored));
        payload.cleanUp();
        co_return false;
    }
    const qint64 uploadMs = timer.restart();

    // Attach.
    json::Json body;
    body["p_client_recording_id"] = clientRecordingId.toString(QUuid::WithoutBraces).toUpper();
    body["p_audio_path"] = objectKey;
    HttpRequest attach;
    attach.method = "POST";
    attach.url = m_attachEndpoint;
    attach.timeout = kRequestTimeout;
    attach.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer ") + token->toUtf8()));
    attach.headers.append(qMakePair(QByteArray("apikey"), m_anonKey));
    attach.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    attach.body = json::encode(body);
    Scheduler &scheduler = m_scheduler;
    bool attached = false;
    for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
        const auto status = co_await send(attach, QStringLiteral("attach"));
        if (!self) {
            payload.cleanUp();
            co_return false;
        }
        if (!status)
            break; // a transport failure is not retried
        if (*status >= 200 && *status <= 299) {
            attached = true;
            break;
        }
        if (attempt == kAttachAttempts) {
            error(QStringLiteral("Attaching the recording was rejected (HTTP %1)").arg(*status));
            break;
        }
        co_await scheduler.sleep(kAttachBackoff * attempt);
        if (!self) {
            payload.cleanUp();
            co_return false;
        }
    }
    if (attached) {
        info(QStringLiteral("⏱ recording uploaded off the dictation path — encode %1 ms, upload %2 ms (%3 bytes), "
                            "attach %4 ms, key %5")
                 .arg(encodeMs)
                 .arg(uploadMs)
                 .arg(payload.bytes.size())
                 .arg(timer.elapsed())
                 .arg(objectKey));
    }
    payload.cleanUp();
    co_return attached;
}

} // namespace dravelin
