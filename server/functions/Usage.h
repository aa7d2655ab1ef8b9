#pragma once

#include "core/Expected.h"
#include "core/Json.h"
#include "storage/Storage.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUrlQuery>

#include <vector>

namespace dravelin::server {

// What a usage request asks for: the user's time zone (calendar months, days
// and hours are counted there) and how many days the breakdowns cover.
struct UsageQuery
{
    static constexpr int kDefaultDays = 30;
    static constexpr int kMaxDays = 366;

    QTimeZone zone = QTimeZone::utc();
    int days = kDefaultDays;

    // ?tz=<IANA zone>&days=<1…366>; both optional (UTC, 30 days).
    static Expected<UsageQuery, QString> fromQuery(const QUrlQuery &query);
};

// The usage figures of one user at `now`, from the all-time totals and the
// transcriptions since usageRowsSince():
// {"month", "all_time", "periods": {"d7", "d30", "d90"}, "daily" (one element
// per day, oldest first, empty days included), "hourly" (hours 0…23),
// "by_app" (most used first), "days"}. Every period has "transcriptions",
// "words", "seconds" and "estimated_cost_usd" (0: recognition on this
// machine costs nothing).
json::Json usageReport(const UsageTotals &allTime, const std::vector<TranscriptionUsage> &rows, const QDateTime &now,
                       const UsageQuery &query);

// The earliest creation time (seconds since the epoch) usageReport() needs rows from.
qint64 usageRowsSince(const QDateTime &now, const UsageQuery &query);

} // namespace dravelin::server
