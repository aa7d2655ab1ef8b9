#include "output/UsageStats.h"

#include "core/TimeFormatting.h"

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

using json::Json;

template <typename T>
Expected<T, QString> field(const Json &object, const char *key)
{
    auto value = json::requiredField<T>(object, key);
    if (!value)
        return Unexpected{value.error().message};
    return std::move(value.value());
}

// Reads the counts every element shares; false with `why` set on a failure.
template <typename T>
bool counts(const Json &object, T &out, QString &why)
{
    const auto transcriptions = field<qint64>(object, "transcriptions");
    const auto words = field<qint64>(object, "words");
    const auto seconds = field<qint64>(object, "seconds");
    for (const auto *value : {&transcriptions, &words, &seconds}) {
        if (!*value) {
            why = value->error();
            return false;
        }
    }
    out.transcriptions = *transcriptions;
    out.words = *words;
    out.seconds = *seconds;
    return true;
}

Expected<UsagePeriod, QString> period(const Json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end())
        return Unexpected{QStringLiteral("missing key \"%1\"").arg(QLatin1String(key))};
    UsagePeriod p;
    QString why;
    if (!counts(*it, p, why))
        return Unexpected{QStringLiteral("%1: %2").arg(QLatin1String(key), why)};
    const auto cost = field<double>(*it, "estimated_cost_usd");
    if (!cost)
        return Unexpected{QStringLiteral("%1: %2").arg(QLatin1String(key), cost.error())};
    p.estimatedCostUsd = *cost;
    return p;
}

// An optional array: absent or null is none; each element is read by `read`.
template <typename T, typename Read>
Expected<std::optional<QList<T>>, QString> list(const Json &object, const char *key, Read read)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::optional<QList<T>>{};
    if (!it->is_array())
        return Unexpected{QStringLiteral("key \"%1\" has the wrong type").arg(QLatin1String(key))};
    QList<T> items;
    for (const Json &element : *it) {
        T item;
        QString why;
        if (!read(element, item, why))
            return Unexpected{QStringLiteral("%1: %2").arg(QLatin1String(key), why)};
        items << std::move(item);
    }
    return std::optional<QList<T>>(std::move(items));
}

} // namespace

Expected<UsageStats, QString> UsageStats::fromJson(const Json &json)
{
    if (!json.is_object())
        return Unexpected{QStringLiteral("expected a JSON object")};
    UsageStats stats;
    const auto month = period(json, "month");
    if (!month)
        return Unexpected{month.error()};
    stats.month = *month;
    const auto allTime = period(json, "all_time");
    if (!allTime)
        return Unexpected{allTime.error()};
    stats.allTime = *allTime;

    if (const auto it = json.find("periods"); it != json.end() && !it->is_null()) {
        if (!it->is_object())
            return Unexpected{QStringLiteral("key \"periods\" has the wrong type")};
        UsagePeriods periods;
        for (auto [key, target] : {std::pair{"d7", &periods.d7}, {"d30", &periods.d30}, {"d90", &periods.d90}}) {
            const auto p = period(*it, key);
            if (!p)
                return Unexpected{QStringLiteral("periods: %1").arg(p.error())};
            *target = *p;
        }
        stats.periods = periods;
    }

    auto daily = list<UsageDay>(json, "daily", [](const Json &e, UsageDay &day, QString &why) {
        const auto date = field<QString>(e, "date");
        if (!date) {
            why = date.error();
            return false;
        }
        day.date = *date;
        return counts(e, day, why);
    });
    if (!daily)
        return Unexpected{daily.error()};
    stats.daily = std::move(daily.value());

    auto hourly = list<UsageHour>(json, "hourly", [](const Json &e, UsageHour &hour, QString &why) {
        const auto h = field<int>(e, "hour");
        if (!h) {
            why = h.error();
            return false;
        }
        hour.hour = *h;
        return counts(e, hour, why);
    });
    if (!hourly)
        return Unexpected{hourly.error()};
    stats.hourly = std::move(hourly.value());

    auto byApp = list<UsageApp>(json, "by_app", [](const Json &e, UsageApp &app, QString &why) {
        app.appBundleId = json::optionalField<QString>(e, "app_bundle_id");
        return counts(e, app, why);
    });
    if (!byApp)
        return Unexpected{byApp.error()};
    stats.byApp = std::move(byApp.value());

    if (const auto it = json.find("days"); it != json.end() && !it->is_null()) {
        const auto days = field<qint64>(json, "days");
        if (!days)
            return Unexpected{days.error()};
        stats.days = *days;
    }
    return stats;
}

std::optional<qint64> UsageFigures::speakingPace(const UsagePeriod &allTime)
{
    if (allTime.seconds < 1)
        return std::nullopt;
    return std::llround(static_cast<double>(allTime.words) / (static_cast<double>(allTime.seconds) / 60.0));
}

std::optional<double> UsageFigures::timeSavedSeconds(const UsagePeriod &month)
{
    if (month.words < 1)
        return std::nullopt;
    const double typing = static_cast<double>(month.words) * 60.0 / kTypingWordsPerMinute;
    return std::max(0.0, typing - static_cast<double>(month.seconds));
}

QString UsageFigures::allTimeWords(const std::optional<UsageStats> &stats, const QLocale &locale)
{
    if (!stats)
        return kNone;
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(stats->allTime.words);
}

QString UsageFigures::speakingPaceText(const std::optional<UsageStats> &stats)
{
    const auto pace = stats ? speakingPace(stats->allTime) : std::nullopt;
    return pace ? QString::number(*pace) : kNone;
}

QString UsageFigures::timeSavedOrDuration(const std::optional<UsageStats> &stats)
{
    if (!stats)
        return kNone;
    if (const auto saved = timeSavedSeconds(stats->month))
        return TimeFormatting::timeSaved(*saved);
    if (stats->allTime.seconds > 0)
        return TimeFormatting::timeSaved(static_cast<double>(stats->allTime.seconds));
    return kNone;
}

} // namespace dravelin
