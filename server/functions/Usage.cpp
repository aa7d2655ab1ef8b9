#include "functions/Usage.h"

#include <algorithm>
#include <array>
#include <map>

namespace dravelin::server {

namespace {

constexpr qint64 kDaySeconds = 24 * 60 * 60;
constexpr std::array<std::pair<const char *, int>, 3> kRollingWindows{{{"d7", 7}, {"d30", 30}, {"d90", 90}}};

struct Tally
{
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 durationMs = 0;

    void add(const TranscriptionUsage &row)
    {
        ++transcriptions;
        words += row.words;
        durationMs += row.durationMs;
    }
    void counts(json::Json &out) const
    {
        out["transcriptions"] = transcriptions;
        out["words"] = words;
        out["seconds"] = (durationMs + 500) / 1000;
    }
    json::Json period() const
    {
        json::Json out;
        counts(out);
        out["estimated_cost_usd"] = 0.0;
        return out;
    }
};

qint64 localMidnight(const QDate &date, const QTimeZone &zone)
{
    return QDateTime(date, QTime(0, 0), zone).toSecsSinceEpoch();
}

QDate breakdownFirstDay(const QDateTime &now, const UsageQuery &query)
{
    return now.toTimeZone(query.zone).date().addDays(-(query.days - 1));
}

QDate monthFirstDay(const QDateTime &now, const UsageQuery &query)
{
    const QDate today = now.toTimeZone(query.zone).date();
    return QDate(today.year(), today.month(), 1);
}

} // namespace

Expected<UsageQuery, QString> UsageQuery::fromQuery(const QUrlQuery &query)
{
    UsageQuery result;
    const QString tz = query.queryItemValue(QStringLiteral("tz"), QUrl::FullyDecoded).trimmed();
    if (!tz.isEmpty()) {
        result.zone = QTimeZone(tz.toUtf8());
        if (!result.zone.isValid())
            return Unexpected{QStringLiteral("unknown time zone \"%1\"").arg(tz)};
    }
    if (query.hasQueryItem(QStringLiteral("days"))) {
        bool ok = false;
        result.days = query.queryItemValue(QStringLiteral("days")).toInt(&ok);
        if (!ok || result.days < 1 || result.days > kMaxDays)
            return Unexpected{QStringLiteral("days must be a whole number from 1 to %1").arg(kMaxDays)};
    }
    return result;
}

qint64 usageRowsSince(const QDateTime &now, const UsageQuery &query)
{
    const qint64 rolling = now.toSecsSinceEpoch() - kRollingWindows.back().second * kDaySeconds;
    return std::min({rolling, localMidnight(breakdownFirstDay(now, query), query.zone),
                     localMidnight(monthFirstDay(now, query), query.zone)});
}

json::Json usageReport(const UsageTotals &allTime, const std::vector<TranscriptionUsage> &rows, const QDateTime &now,
                       const UsageQuery &query)
{
    const qint64 nowSecs = now.toSecsSinceEpoch();
    const qint64 monthStart = localMidnight(monthFirstDay(now, query), query.zone);
    const QDate firstDay = breakdownFirstDay(now, query);
    const qint64 breakdownStart = localMidnight(firstDay, query.zone);

    Tally month;
    std::array<Tally, kRollingWindows.size()> rolling;
    std::vector<Tally> daily(static_cast<size_t>(query.days));
    std::array<Tally, 24> hourly;
    std::map<QString, Tally> byApp;
    for (const TranscriptionUsage &row : rows) {
        if (row.createdAt >= monthStart)
            month.add(row);
        for (size_t i = 0; i < kRollingWindows.size(); ++i) {
            if (row.createdAt > nowSecs - kRollingWindows[i].second * kDaySeconds)
                rolling[i].add(row);
        }
        if (row.createdAt < breakdownStart)
            continue;
        const QDateTime local = QDateTime::fromSecsSinceEpoch(row.createdAt, query.zone);
        const qint64 day = firstDay.daysTo(local.date());
        if (day >= 0 && day < query.days)
            daily[static_cast<size_t>(day)].add(row);
        hourly[static_cast<size_t>(local.time().hour())].add(row);
        byApp[row.appBundleId].add(row);
    }

    json::Json report;
    report["month"] = month.period();
    const Tally total{allTime.transcriptions, allTime.words, allTime.durationMs};
    report["all_time"] = total.period();
    json::Json periods;
    for (size_t i = 0; i < kRollingWindows.size(); ++i)
        periods[kRollingWindows[i].first] = rolling[i].period();
    report["periods"] = periods;

    json::Json days = json::Json::array();
    for (int i = 0; i < query.days; ++i) {
        json::Json day;
        day["date"] = firstDay.addDays(i).toString(Qt::ISODate);
        daily[static_cast<size_t>(i)].counts(day);
        days.push_back(std::move(day));
    }
    report["daily"] = std::move(days);

    json::Json hours = json::Json::array();
    for (int h = 0; h < 24; ++h) {
        json::Json hour;
        hour["hour"] = h;
        hourly[static_cast<size_t>(h)].counts(hour);
        hours.push_back(std::move(hour));
    }
    report["hourly"] = std::move(hours);

    std::vector<std::pair<QString, Tally>> apps(byApp.begin(), byApp.end());
    std::stable_sort(apps.begin(), apps.end(), [](const auto &a, const auto &b) {
        return a.second.transcriptions != b.second.transcriptions ? a.second.transcriptions > b.second.transcriptions
                                                                  : a.second.words > b.second.words;
    });
    json::Json appList = json::Json::array();
    for (const auto &[app, tally] : apps) {
        json::Json entry;
        if (!app.isEmpty())
            entry["app_bundle_id"] = app;
        tally.counts(entry);
        appList.push_back(std::move(entry));
    }
    report["by_app"] = std::move(appList);
    report["days"] = query.days;
    return report;
}

} // namespace dravelin::server
