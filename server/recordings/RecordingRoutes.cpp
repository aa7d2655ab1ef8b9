#include "recordings/RecordingRoutes.h"

#include "auth/AuthRoutes.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QCryptographicHash>
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
    return m_config.recordingsPath() + u'/' + objectKey;
}

namespace {

// Recording links are signed with keys of their own, derived from the
// shared token-signing key: any instance over the same database honours a
// link another one handed out, and a link can never pass for an access
// token (nor one kind of link for the other).
QByteArray linkKey(const QByteArray &secret, const char *use)
{
    const QByteArray material = secret + QByteArrayLiteral("|recording-link|") + QByteArray(use);
    return QCryptographicHash::hash(material, QCryptographicHash::Sha256);
}

QByteArray signLink(const QByteArray &secret, const char *use, const QString &objectKey, qint64 expiresAt)
{
    json::Json claims{{"aud", kTokenAudience}};
    claims["key"] = objectKey;
    claims["exp"] = expiresAt;
    return signJwt(claims, linkKey(secret, use));
}

// The object key a link names, if it is genuine and unexpired.
std::optional<QString> linkedKey(const QByteArray &secret, const char *use, const QByteArray &token, qint64 now)
{
    if (token.isEmpty() || token.size() > 4096)
        return std::nullopt;
    const auto claims = verifyJwt(token, linkKey(secret, use), now);
    if (!claims)
        return std::nullopt;
    const auto key = json::optionalField<QString>(*claims, "key");
    if (!key || key->isEmpty() || key->contains(QStringLiteral("..")))
        return std::nullopt;
    return key;
}

} // namespace

std::optional<RecordingRoutes::Grant> RecordingRoutes::grantUpload(const QString &userId,
                                                                   const QString &clientRecordingId)
{
    const QUuid id = QUuid::fromString(clientRecordingId);
    if (!m_config.retainRecordings || id.isNull())
        return std::nullopt;
    const QString key = userId + u'/' + id.toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".m4a");
    const QByteArray token = signLink(m_config.signingSecret, "upload", key, now() + kUploadSeconds);
    return Grant{QStringLiteral("%1/storage/v1/upload?token=%2").arg(m_config.publicUrl, QString::fromLatin1(token)),
                 key};
}

std::optional<QString> RecordingRoutes::grantDownload(const QString &objectKey)
{
    if (!QFile::exists(filePath(objectKey)))
        return std::nullopt;
    const QByteArray token = signLink(m_config.signingSecret, "download", objectKey, now() + kDownloadSeconds);
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
    // The URL is the credential: one use, fifteen minutes. It is spent by
    // the stored file itself (a recording is never replaced), so a refused
    // body or a failed write leaves it for another try, at any instance.
    const QByteArray token = request.query.queryItemValue(QStringLiteral("token")).toLatin1();
    const auto key = linkedKey(m_config.signingSecret, "upload", token, now());
    if (!key)
        return HttpResponse::error(403, QStringLiteral("The upload URL is invalid or has expired"));
    const QString path = filePath(*key);
    if (QFile::exists(path))
        return HttpResponse::error(403, QStringLiteral("The upload URL has already been used"));
    if (request.body.size() < 12 || request.body.mid(4, 4) != "ftyp")
        return HttpResponse::error(415, QStringLiteral("Recordings are stored as MPEG-4 audio"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(request.body) != request.body.size() || !file.commit())
        return HttpResponse::error(507,
                                   QStringLiteral("The recording could not be stored: %1").arg(file.errorString()));
    logs::info(logs::recordingUpload(),
               QStringLiteral("Stored recording %1 (%2 bytes)").arg(*key).arg(request.body.size()));
    json::Json reply;
    reply["Key"] = *key;
    return HttpResponse::json(200, json::encode(reply));
}

HttpResponse RecordingRoutes::download(const HttpRequest &request)
{
    const QByteArray token = request.query.queryItemValue(QStringLiteral("token")).toLatin1();
    const auto key = linkedKey(m_config.signingSecret, "download", token, now());
    if (!key)
        return HttpResponse::error(403, QStringLiteral("The recording link is invalid or has expired"));
    QFile file(filePath(*key));
    if (!file.open(QIODevice::ReadOnly))
        return HttpResponse::error(404, QStringLiteral("The recording is no longer stored"));
    HttpResponse response;
    response.headers = {{"Content-Type", "audio/mp4"}, {"Cache-Control", "no-store"}};
    response.body = file.readAll();
    return response;
}

HttpResponse RecordingRoutes::attach(const HttpRequest &request)
{
    if (auto refused = m_auth.refuseWithoutApiKey(request))
        return *refused;
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
