#include "recordings/RecordingRoutes.h"

#include "auth/AuthRoutes.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace dravelin::server {

RecordingRoutes::RecordingRoutes(const ServerConfig &config, Storage &storage, AuthRoutes &auth, Scheduler &scheduler)
    : m_config(config)
    , m_storage(storage)
    , m_auth(auth)
    , m_scheduler(scheduler)
{}

qint64 RecordingRoutes::now() const
{
    return m_scheduler.wallNow().toSecsSinceEpoch();
}

QString RecordingRoutes::filePath(const QString &objectKey) const
{
    return m_config.dataDir + QStringLiteral("/recordings/") + objectKey;
}

std::optional<RecordingRoutes::Grant> RecordingRoutes::grantUpload(const QString &userId,
                                                                   const QString &clientRecordingId)
{
    const QUuid id = QUuid::fromString(clientRecordingId);
    if (!m_config.retainRecordings || id.isNull())
        return std::nullopt;
    const qint64 t = now();
    std::erase_if(m_uploads, [t](const auto &entry) { return entry.second.expiresAt < t; });
    const QByteArray token = randomToken(32);
    const QString key = userId + u'/' + id.toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".m4a");
    m_uploads[token] = PendingUpload{userId, key, t + kUploadSeconds};
    return Grant{QStringLiteral("%1/storage/v1/upload?token=%2").arg(m_config.publicUrl, QString::fromLatin1(token)),
                 key};
}

std::optional<QString> RecordingRoutes::grantDownload(const QString &objectKey)
{
    if (!QFile::exists(filePath(objectKey)))
        return std::nullopt;
    const qint64 t = now();
    std::erase_if(m_downloads, [t](const auto &entry) { return entry.second.expiresAt < t; });
    const QByteArray token = randomToken(32);
    m_downloads[token] = Download{objectKey, t + kDownloadSeconds};
    return QStringLiteral("%1/storage/v1/recording?token=%2").arg(m_config.publicUrl, QString::fromLatin1(token));
}

void RecordingRoutes::install(Router &router)
{
    router.add("GET", QStringLiteral("/storage/v1/recording"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return download(request); });
    router.add("PUT", QStringLiteral("/storage/v1/upload"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return upload(request); });
    router.add("POST", QStringLiteral("/rest/v1/rpc/attach_recording_audio"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return attach(request); });
}

HttpResponse RecordingRoutes::upload(const HttpRequest &request)
{
    // The URL is the credential: one use, fifteen minutes.
    const QByteArray token = request.query.queryItemValue(QStringLiteral("token")).toLatin1();
    const auto it = m_uploads.find(token);
    if (token.isEmpty() || it == m_uploads.end() || it->second.expiresAt < now())
        return HttpResponse::error(403, QStringLiteral("The upload URL is invalid or has expired"));
    // The URL is spent only by a recording that is stored: a refused body
    // or a failed write leaves it for another try.
    const PendingUpload pending = it->second;
    if (request.body.size() < 12 || request.body.mid(4, 4) != "ftyp")
        return HttpResponse::error(415, QStringLiteral("Recordings are stored as MPEG-4 audio"));
    const QString path = filePath(pending.objectKey);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(request.body) != request.body.size() || !file.commit())
        return HttpResponse::error(507,
                                   QStringLiteral("The recording could not be stored: %1").arg(file.errorString()));
    m_uploads.erase(token);
    logs::info(logs::recordingUpload(),
               QStringLiteral("Stored recording %1 (%2 bytes)").arg(pending.objectKey).arg(request.body.size()));
    json::Json reply;
    reply["Key"] = pending.objectKey;
    return HttpResponse::json(200, json::encode(reply));
}

HttpResponse RecordingRoutes::download(const HttpRequest &request)
{
    const QByteArray token = request.query.queryItemValue(QStringLiteral("token")).toLatin1();
    const auto it = m_downloads.find(token);
    if (token.isEmpty() || it == m_downloads.end() || it->second.expiresAt < now())
        return HttpResponse::error(403, QStringLiteral("The recording link is invalid or has expired"));
    QFile file(filePath(it->second.objectKey));
    if (!file.open(QIODevice::ReadOnly))
        return HttpResponse::error(404, QStringLiteral("The recording is no longer stored"));
    HttpResponse response;
    response.headers = {{"Content-Type", "audio/mp4"}, {"Cache-Control", "no-store"}};
    response.body = file.readAll();
    return response;
}

HttpResponse RecordingRoutes::attach(const HttpRequest &request)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        return user.error();
    const auto body = json::parse(request.body);
    if (!body)
        return HttpResponse::error(400, body.error().message);
    const auto recordingId = json::requiredField<QString>(*body, "p_client_recording_id");
    const auto audioPath = json::requiredField<QString>(*body, "p_audio_path");
    if (!recordingId)
        return HttpResponse::error(400, recordingId.error().message);
    if (!audioPath)
        return HttpResponse::error(400, audioPath.error().message);
    // Only the user's own, already stored files can be attached: a key is
    // "<user id>/<file name>", never a directory.
    const QString name = audioPath->mid(user->id.size() + 1);
    if (!audioPath->startsWith(user->id + u'/') || name.isEmpty() || name.contains(u'/') || name.startsWith(u'.') ||
        !QFileInfo(filePath(*audioPath)).isFile())
        return HttpResponse::error(404, QStringLiteral("No stored recording at that path"));
    if (!m_storage.attachRecordingAudio(user->id, *recordingId, *audioPath))
        return HttpResponse::error(404, QStringLiteral("No transcription with that recording id"));
    return HttpResponse::json(200, "true");
}

} // namespace dravelin::server
