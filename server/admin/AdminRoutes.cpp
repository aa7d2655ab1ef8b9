#include "admin/AdminRoutes.h"

#include "auth/AuthRoutes.h"
#include "core/Log.h"
#include "recordings/RecordingRoutes.h"

#include <QFile>

namespace dravelin::server {

namespace {

// An admin request is a handful of short fields.
constexpr qsizetype kMaxRequestBytes = 16 * 1024;
constexpr qsizetype kMaxReasonLength = 64;

const QStringList kQualityCategories{QStringLiteral("success"), QStringLiteral("error"),
                                     QStringLiteral("accuracy_issue"), QStringLiteral("no_speech")};

HttpResponse ok()
{
    return HttpResponse::json(200, R"({"ok":true})");
}

} // namespace

AdminRoutes::AdminRoutes(Storage &storage, AuthRoutes &auth, RecordingRoutes &recordings, Scheduler &scheduler)
    : m_storage(storage)
    , m_auth(auth)
    , m_recordings(recordings)
    , m_scheduler(scheduler)
{}

qint64 AdminRoutes::now() const
{
    return m_scheduler.wallNow().toSecsSinceEpoch();
}

void AdminRoutes::install(Router &router)
{
    router.add("POST", QStringLiteral("/functions/v1/admin-dashboard"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return handle(request); });
}

HttpResponse AdminRoutes::handle(const HttpRequest &request)
{
    const auto admin = m_auth.requireUser(request);
    if (!admin)
        return admin.error();
    if (admin->role != u"admin")
        return HttpResponse::error(403, QStringLiteral("Administrator access is required."));
    if (request.body.size() > kMaxRequestBytes)
        return HttpResponse::error(413, QStringLiteral("an admin request is at most %1 bytes").arg(kMaxRequestBytes));
    const auto body = json::parse(request.body);
    if (!body)
        return HttpResponse::error(400, body.error().message);
    const auto action = json::requiredField<QString>(*body, "action");
    if (!action)
        return HttpResponse::error(400, action.error().message);
    logs::info(logs::admin(), QStringLiteral("Admin action %1 by %2").arg(*action, logs::priv(admin->email)));

    if (*action == u"dashboard") {
        const QDateTime wallNow = m_scheduler.wallNow();
        const QTimeZone zone = QTimeZone::systemTimeZone();
        const AdminSnapshot snapshot =
            m_storage.adminSnapshot(adminSeriesStart(wallNow, zone), AdminDashboardLimits::kRecentRecordings);
        return HttpResponse::json(200, json::encode(adminDashboardJson(snapshot, wallNow, zone)));
    }
    if (*action == u"set_user_enabled")
        return setUserEnabled(*admin, *body);
    if (*action == u"delete_user")
        return deleteUser(*admin, *body);
    if (*action == u"set_recording_quality")
        return setRecordingQuality(*body);
    if (*action == u"recording_audio")
        return recordingAudio(*body);
    return HttpResponse::error(400, QStringLiteral("unknown action \"%1\"").arg(*action));
}

HttpResponse AdminRoutes::setUserEnabled(const User &admin, const json::Json &body)
{
    const auto userId = json::requiredField<QString>(body, "userId");
    if (!userId)
        return HttpResponse::error(400, userId.error().message);
    const auto enabled = json::requiredField<bool>(body, "enabled");
    if (!enabled)
        return HttpResponse::error(400, enabled.error().message);
    if (*userId == admin.id && !*enabled)
        return HttpResponse::error(400, QStringLiteral("You cannot disable your own account."));
    if (!m_storage.setUserDisabled(*userId, *enabled ? std::nullopt : std::optional<qint64>(now())))
        return HttpResponse::error(404, QStringLiteral("No user with that id."));
    // A disabled account's sessions end now; its access tokens are refused
    // from here on because every request reads the account.
    if (!*enabled && !m_storage.revokeUserTokens(*userId, now()))
        return HttpResponse::error(503, QStringLiteral("The account is disabled but its sessions could not be ended: "
                                                       "the server could not write to its database. Try again."));
    logs::info(
        logs::admin(),
        QStringLiteral("User %1 %2").arg(*userId, *enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")));
    return ok();
}

HttpResponse AdminRoutes::deleteUser(const User &admin, const json::Json &body)
{
    const auto userId = json::requiredField<QString>(body, "userId");
    if (!userId)
        return HttpResponse::error(400, userId.error().message);
    if (*userId == admin.id)
        return HttpResponse::error(400, QStringLiteral("You cannot delete your own account."));
    const auto keys = m_storage.deleteUser(*userId);
    if (!keys)
        return HttpResponse::error(404, QStringLiteral("No user with that id."));
    for (const QString &key : *keys)
        QFile::remove(m_recordings.filePath(key));
    logs::info(logs::admin(), QStringLiteral("User %1 deleted with %2 recordings").arg(*userId).arg(keys->size()));
    return ok();
}

HttpResponse AdminRoutes::setRecordingQuality(const json::Json &body)
{
    const auto id = json::requiredField<QString>(body, "transcriptionId");
    if (!id)
        return HttpResponse::error(400, id.error().message);
    const auto category = json::requiredField<QString>(body, "qualityCategory");
    if (!category)
        return HttpResponse::error(400, category.error().message);
    if (!kQualityCategories.contains(*category))
        return HttpResponse::error(400, QStringLiteral("unknown quality category \"%1\"").arg(*category));
    const auto reason = json::optionalField<QString>(body, "qualityReason");
    if (body.contains("qualityReason") && !body["qualityReason"].is_null() &&
        (!reason || reason->size() > kMaxReasonLength))
        return HttpResponse::error(
            400, QStringLiteral("qualityReason must be a string of at most %1 characters").arg(kMaxReasonLength));
    if (!m_storage.labelTranscriptionById(*id, QualityLabel{*category, reason, QStringLiteral("admin"), now()}))
        return HttpResponse::error(404, QStringLiteral("No recording with that id."));
    return ok();
}

HttpResponse AdminRoutes::recordingAudio(const json::Json &body)
{
    const auto id = json::requiredField<QString>(body, "transcriptionId");
    if (!id)
        return HttpResponse::error(400, id.error().message);
    const auto key = m_storage.transcriptionAudioKey(*id);
    if (!key)
        return HttpResponse::error(404, QStringLiteral("No recording with that id."));
    json::Json reply;
    const auto url = key->isEmpty() ? std::nullopt : m_recordings.grantDownload(*key);
    reply["audioAvailable"] = url.has_value();
    if (url) {
        reply["url"] = *url;
        reply["expiresIn"] = RecordingRoutes::kDownloadSeconds;
    }
    return HttpResponse::json(200, json::encode(reply));
}

} // namespace dravelin::server
