#pragma once

#include "ServerConfig.h"
#include "core/Scheduler.h"
#include "http/Router.h"
#include "storage/Storage.h"

#include <QTimeZone>

namespace dravelin::server {

class AuthRoutes;
class RecordingRoutes;

// The administrators' function /functions/v1/admin-dashboard: one JSON POST
// naming an `action` ("dashboard", "set_user_enabled", "delete_user",
// "set_recording_quality", "recording_audio"). Only a user whose stored role
// is "admin" gets an answer (others: 403); the role is read from the database
// on every request, so a revoked administrator loses access at once rather
// than when their access token expires.
class AdminRoutes
{
public:
    AdminRoutes(Storage &storage, AuthRoutes &auth, RecordingRoutes &recordings, Scheduler &scheduler);

    void install(Router &router);

private:
    HttpResponse handle(const HttpRequest &request);
    HttpResponse setUserEnabled(const User &admin, const json::Json &body);
    HttpResponse deleteUser(const User &admin, const json::Json &body);
    HttpResponse setRecordingQuality(const json::Json &body);
    HttpResponse recordingAudio(const json::Json &body);
    qint64 now() const;

    Storage &m_storage;
    AuthRoutes &m_auth;
    RecordingRoutes &m_recordings;
    Scheduler &m_scheduler;
};

// The dashboard reply from the stored figures, counted in `zone` (new
// accounts today/this week/this month, and the per-day series).
struct AdminDashboardLimits
{
    static constexpr int kSeriesDays = 30;
    static constexpr int kActiveDays = 30; // an account with a dictation this recent is active
    static constexpr int kRecentRecordings = 50;
    static constexpr int kRecentActivity = 20;
};
json::Json adminDashboardJson(const AdminSnapshot &snapshot, const QDateTime &now, const QTimeZone &zone);
// Where the snapshot's per-day series has to start: the first of its days.
qint64 adminSeriesStart(const QDateTime &now, const QTimeZone &zone);

} // namespace dravelin::server
