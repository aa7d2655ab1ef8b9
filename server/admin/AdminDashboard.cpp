// The administrators' dashboard, computed from one snapshot of the database.

#include "admin/AdminRoutes.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace dravelin::server {

namespace {

using json::Json;

QString isoTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}

QString displayName(const User &user)
{
    for (const char *key : {"full_name", "name"}) {
        if (const auto name = json::optionalField<QString>(user.userMetadata, key); name && !name->trimmed().isEmpty())
            return name->trimmed();
    }
    return user.email;
}

QString status(const AdminUserRow &row, qint64 activeSince)
{
    if (row.user.disabledAt)
        return QStringLiteral("disabled");
    return row.lastActiveAt && *row.lastActiveAt >= activeSince ? QStringLiteral("active") : QStringLiteral("inactive");
}

// Whole percent of `part` in `total`; nothing when there is no total.
std::optional<qint64> percent(qint64 part, qint64 total)
{
    if (total <= 0)
        return std::nullopt;
    return static_cast<qint64>(std::llround(100.0 * static_cast<double>(part) / static_cast<double>(total)));
}

qint64 startOfDay(const QDate &date, const QTimeZone &zone)
{
    return QDateTime(date, QTime(0, 0), zone).toSecsSinceEpoch();
}

Json recordingJson(const AdminTranscriptionRow &row, const std::map<QString, const User *> &users)
{
    Json j;
    j["id"] = row.id;
    const auto owner = users.find(row.userId);
    j["user"] = owner != users.end() ? displayName(*owner->second) : QString();
    j["email"] = owner != users.end() ? owner->second->email : QString();
    j["createdAt"] = isoTime(row.createdAt);
    j["engine"] = row.engine;
    j["audioDurationMs"] = row.durationMs;
    json::putOptional(j, "timeToTextMs", row.timeToTextMs);
    if (row.timeToTextMs && row.durationMs > 0)
        j["realtimeFactor"] = static_cast<double>(*row.timeToTextMs) / static_cast<double>(row.durationMs);
    json::putOptional(j, "rawText", row.rawText);
    json::putOptional(j, "cleanedText", row.cleanedText);
    j["hasAudio"] = row.hasAudio;
    if (row.quality) {
        j["qualityCategory"] = row.quality->category;
        json::putOptional(j, "qualityReason", row.quality->reason);
        j["qualitySource"] = row.quality->source;
    }
    return j;
}

} // namespace

qint64 adminSeriesStart(const QDateTime &now, const QTimeZone &zone)
{
    return startOfDay(now.toTimeZone(zone).date().addDays(-(AdminDashboardLimits::kSeriesDays - 1)), zone);
}

Json adminDashboardJson(const AdminSnapshot &snapshot, const QDateTime &now, const QTimeZone &zone)
{
    const QDate today = now.toTimeZone(zone).date();
    const qint64 nowSecs = now.toSecsSinceEpoch();
    const qint64 activeSince = nowSecs - qint64(AdminDashboardLimits::kActiveDays) * 86400;
    const qint64 dayStart = startOfDay(today, zone);
    const qint64 weekStart = startOfDay(today.addDays(1 - today.dayOfWeek()), zone); // Monday
    const qint64 monthStart = startOfDay(QDate(today.year(), today.month(), 1), zone);

    std::map<QString, const User *> byId;
    Json users = Json::array();
    Json admins = Json::array();
    qint64 active = 0, newToday = 0, newThisWeek = 0, newThisMonth = 0;
    for (const AdminUserRow &row : snapshot.users) {
        byId[row.user.id] = &row.user;
        const QString state = status(row, activeSince);
        active += state == u"active";
        newToday += row.user.createdAt >= dayStart;
        newThisWeek += row.user.createdAt >= weekStart;
        newThisMonth += row.user.createdAt >= monthStart;
        Json user;
        user["id"] = row.user.id;
        user["name"] = displayName(row.user);
        user["email"] = row.user.email;
        user["createdAt"] = isoTime(row.user.createdAt);
        if (row.lastActiveAt)
            user["lastActiveAt"] = isoTime(*row.lastActiveAt);
        user["totalUsageMs"] = row.totalUsageMs;
        user["recordings"] = row.recordings;
        user["status"] = state;
        user["isAdmin"] = row.user.role == u"admin";
        if (row.user.role == u"admin") {
            Json admin;
            for (const char *key : {"id", "name", "email", "lastActiveAt", "status"}) {
                if (user.contains(key))
                    admin[key] = user[key];
            }
            admins.push_back(std::move(admin));
        }
        users.push_back(std::move(user));
    }

    const auto totalUsers = static_cast<qint64>(snapshot.users.size());
    Json metrics;
    metrics["totalUsers"] = totalUsers;
    metrics["activeUsers"] = active;
    metrics["newToday"] = newToday;
    metrics["newThisWeek"] = newThisWeek;
    metrics["newThisMonth"] = newThisMonth;
    metrics["totalRecordings"] = snapshot.totalRecordings;
    metrics["totalUsageMs"] = snapshot.totalUsageMs;
    metrics["averageUsageMs"] = totalUsers > 0 ? snapshot.totalUsageMs / totalUsers : 0;
    if (snapshot.timeToTextSamples > 0)
        metrics["averageTimeToTextMs"] = snapshot.timeToTextSumMs / snapshot.timeToTextSamples;
    metrics["timeToTextSamples"] = snapshot.timeToTextSamples;

    // One point per day of the window, the quiet days included.
    struct Day
    {
        std::set<QString> users;
        qint64 recordings = 0;
        qint64 durationMs = 0;
    };
    std::map<QDate, Day> days;
    for (const AdminTranscriptionRow &row : snapshot.since) {
        Day &day = days[QDateTime::fromSecsSinceEpoch(row.createdAt, zone).date()];
        day.users.insert(row.userId);
        ++day.recordings;
        day.durationMs += row.durationMs;
    }
    Json series = Json::array();
    for (int back = AdminDashboardLimits::kSeriesDays - 1; back >= 0; --back) {
        const QDate date = today.addDays(-back);
        const Day &day = days[date];
        Json point;
        point["date"] = date.toString(Qt::ISODate);
        point["activeUsers"] = static_cast<qint64>(day.users.size());
        point["recordings"] = day.recordings;
        point["durationMs"] = day.durationMs;
        series.push_back(std::move(point));
    }

    // Sign-ups and dictations, newest first.
    struct Event
    {
        qint64 at;
        Json json;
    };
    std::vector<Event> events;
    for (const AdminUserRow &row : snapshot.users) {
        Json e;
        e["id"] = QString(QStringLiteral("signup-") + row.user.id);
        e["type"] = "signup";
        e["label"] = "Signed up";
        e["user"] = displayName(row.user);
        e["email"] = row.user.email;
        e["at"] = isoTime(row.user.createdAt);
        events.push_back({row.user.createdAt, std::move(e)});
    }
    for (const AdminTranscriptionRow &row : snapshot.recent) {
        const auto owner = byId.find(row.userId);
        Json e;
        e["id"] = QString(QStringLiteral("recording-") + row.id);
        e["type"] = "recording";
        e["label"] = QStringLiteral("Dictated %1 s").arg((row.durationMs + 500) / 1000);
        e["user"] = owner != byId.end() ? displayName(*owner->second) : QString();
        e["email"] = owner != byId.end() ? owner->second->email : QString();
        e["at"] = isoTime(row.createdAt);
        events.push_back({row.createdAt, std::move(e)});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.at > b.at; });
    Json activity = Json::array();
    for (std::size_t i = 0; i < events.size() && i < std::size_t(AdminDashboardLimits::kRecentActivity); ++i)
        activity.push_back(std::move(events[i].json));

    Json recordings = Json::array();
    for (const AdminTranscriptionRow &row : snapshot.recent)
        recordings.push_back(recordingJson(row, byId));

    const auto count = [&](const char *category) {
        const auto it = snapshot.qualityCounts.find(QString::fromLatin1(category));
        return it == snapshot.qualityCounts.end() ? qint64(0) : it->second;
    };
    qint64 attempts = 0;
    for (const auto &entry : snapshot.qualityCounts)
        attempts += entry.second;
    Json quality;
    quality["successCount"] = count("success");
    quality["errorCount"] = count("error");
    quality["accuracyIssueCount"] = count("accuracy_issue");
    quality["noSpeechCount"] = count("no_speech");
    quality["totalAttempts"] = attempts;
    json::putOptional(quality, "successRate", percent(count("success"), attempts));
    json::putOptional(quality, "errorRate", percent(count("error"), attempts));
    json::putOptional(quality, "accuracyIssueRate", percent(count("accuracy_issue"), attempts));
    json::putOptional(quality, "noSpeechRate", percent(count("no_speech"), attempts));

    Json coverage;
    coverage["transcriptionsTruncated"] = snapshot.totalRecordings > static_cast<qint64>(snapshot.recent.size());
    coverage["recordingsWithUnknownAudioDuration"] = snapshot.unknownDuration;
    coverage["recordingsWithoutTimeToText"] = snapshot.totalRecordings - snapshot.timeToTextSamples;

    Json reply;
    reply["generatedAt"] = isoTime(nowSecs);
    reply["reportingTimeZone"] = QString::fromUtf8(zone.id());
    reply["metrics"] = std::move(metrics);
    reply["usageSeries"] = std::move(series);
    reply["users"] = std::move(users);
    reply["admins"] = std::move(admins);
    reply["recentActivity"] = std::move(activity);
    reply["recentRecordings"] = std::move(recordings);
    reply["transcriptionQuality"] = std::move(quality);
    reply["coverage"] = std::move(coverage);
    return reply;
}

} // namespace dravelin::server
