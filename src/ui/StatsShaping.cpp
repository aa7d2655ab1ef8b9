#include "ui/StatsShaping.h"

#include <QHash>
#include <QLocale>

#include <algorithm>

namespace dravelin::ui::stats {

bool hasDictations(const UsageStats &stats)
{
    return stats.allTime.transcriptions > 0 || stats.month.transcriptions > 0;
}

int coveredDays(const UsageStats &stats)
{
    if (!stats.daily)
        return 0;
    // A year at most: one bar per day stops being readable long before that.
    constexpr qint64 kMaxDays = 366;
    const qint64 days = stats.days.value_or(0) > 0 ? *stats.days : stats.daily->size();
    return static_cast<int>(std::clamp<qint64>(days, 0, kMaxDays));
}

QList<DayFigures> dailySeries(const UsageStats &stats, QDate today, int days)
{
    QList<DayFigures> series;
    if (days <= 0 || !today.isValid())
        return series;
    const QDate first = today.addDays(1 - days);
    series.reserve(days);
    for (int i = 0; i < days; ++i)
        series.append({first.addDays(i), 0, 0});
    if (!stats.daily)
        return series;
    for (const UsageDay &day : *stats.daily) {
        const QDate date = QDate::fromString(day.date, Qt::ISODate);
        if (!date.isValid())
            continue;
        const qint64 offset = first.daysTo(date);
        if (offset < 0 || offset >= days)
            continue;
        DayFigures &slot = series[offset];
        slot.transcriptions += day.transcriptions;
        slot.words += day.words;
    }
    return series;
}

std::array<qint64, kHours> hourlySeries(const UsageStats &stats)
{
    std::array<qint64, kHours> bins{};
    if (!stats.hourly)
        return bins;
    for (const UsageHour &hour : *stats.hourly) {
        if (hour.hour >= 0 && hour.hour < kHours)
            bins[static_cast<size_t>(hour.hour)] += hour.transcriptions;
    }
    return bins;
}

QList<AppFigures> topApps(const UsageStats &stats, int n)
{
    QList<AppFigures> apps;
    if (!stats.byApp)
        return apps;
    // Merge by label first: the backend may send the unknown bucket both
    // without an identifier and with an empty one.
    QHash<QString, qsizetype> index;
    for (const UsageApp &app : *stats.byApp) {
        if (app.words <= 0 && app.transcriptions <= 0)
            continue;
        const QString id = app.appBundleId.value_or(QString()).trimmed();
        const QString label = id.isEmpty() ? kUnknownApp : id;
        const auto found = index.constFind(label);
        if (found == index.cend()) {
            index.insert(label, apps.size());
            apps.append({label, app.transcriptions, app.words});
        } else {
            apps[*found].transcriptions += app.transcriptions;
            apps[*found].words += app.words;
        }
    }
    std::sort(apps.begin(), apps.end(), [](const AppFigures &a, const AppFigures &b) {
        if (a.words != b.words)
            return a.words > b.words;
        if (a.transcriptions != b.transcriptions)
            return a.transcriptions > b.transcriptions;
        return a.label < b.label;
    });
    n = std::max(n, 0);
    if (apps.size() > n) {
        AppFigures other{kOtherApps, 0, 0};
        for (qsizetype i = n; i < apps.size(); ++i) {
            other.transcriptions += apps[i].transcriptions;
            other.words += apps[i].words;
        }
        apps.resize(n);
        apps.append(other);
    }
    return apps;
}

QList<PeriodColumn> periodComparison(const UsageStats &stats)
{
    if (!stats.periods)
        return {};
    return {
        {QStringLiteral("Last 7 days"), 7, stats.periods->d7},
        {QStringLiteral("Last 30 days"), 30, stats.periods->d30},
        {QStringLiteral("Last 90 days"), 90, stats.periods->d90},
    };
}

QString shortDayLabel(QDate date, const QLocale &locale)
{
    return locale.toString(date, QStringLiteral("d MMM"));
}

QList<int> labelledIndexes(int count, int maxLabels)
{
    QList<int> indexes;
    if (count <= 0 || maxLabels <= 0)
        return indexes;
    static constexpr int kSteps[] = {1, 2, 7, 14, 28};
    int step = kSteps[std::size(kSteps) - 1];
    for (const int candidate : kSteps) {
        if ((count + candidate - 1) / candidate <= maxLabels) {
            step = candidate;
            break;
        }
    }
    for (int i = count - 1; i >= 0; i -= step)
        indexes.prepend(i);
    return indexes;
}

qint64 axisStep(qint64 max, int maxTicks)
{
    maxTicks = std::max(maxTicks, 1);
    if (max <= maxTicks)
        return 1;
    for (qint64 magnitude = 1;; magnitude *= 10) {
        for (const qint64 factor : {1, 2, 5}) {
            const qint64 step = factor * magnitude;
            if ((max + step - 1) / step <= maxTicks)
                return step;
        }
    }
}

} // namespace dravelin::ui::stats
