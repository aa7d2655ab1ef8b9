#pragma once

#include "core/Expected.h"
#include "core/Json.h"

#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

namespace dravelin {

// Dictations, words and seconds of speech over some period.
struct UsagePeriod
{
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 seconds = 0;
    double estimatedCostUsd = 0;

    bool operator==(const UsagePeriod &) const = default;
};

// Rolling windows of 7, 30 and 90 days.
struct UsagePeriods
{
    UsagePeriod d7;
    UsagePeriod d30;
    UsagePeriod d90;

    bool operator==(const UsagePeriods &) const = default;
};

struct UsageDay
{
    QString date; // yyyy-MM-dd in the user's time zone
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 seconds = 0;

    bool operator==(const UsageDay &) const = default;
};

struct UsageHour
{
    int hour = 0; // 0…23 in the user's time zone
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 seconds = 0;

    bool operator==(const UsageHour &) const = default;
};

struct UsageApp
{
    std::optional<QString> appBundleId; // none: dictations with no known application
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 seconds = 0;

    bool operator==(const UsageApp &) const = default;
};

// The backend's usage figures ("month" and "all_time" always; the rolling
// windows and the breakdowns when the backend sends them).
struct UsageStats
{
    UsagePeriod month;
    UsagePeriod allTime;
    std::optional<UsagePeriods> periods;
    std::optional<QList<UsageDay>> daily;
    std::optional<QList<UsageHour>> hourly;
    std::optional<QList<UsageApp>> byApp;
    std::optional<qint64> days; // how many days the breakdowns cover

    // Strict: a missing or mistyped required key fails the whole reply.
    static Expected<UsageStats, QString> fromJson(const json::Json &json);

    bool operator==(const UsageStats &) const = default;
};

// Figures derived from the usage for the statistics panel; "—" stands for a
// figure that cannot be given (no stats yet, nothing spoken).
struct UsageFigures
{
    static constexpr double kTypingWordsPerMinute = 40;
    static inline const QString kNone = QStringLiteral("—");

    // Words per minute of speech, all time; none below 1 s of speech.
    static std::optional<qint64> speakingPace(const UsagePeriod &allTime);
    // Seconds saved this month against typing the same words; none before the
    // first word.
    static std::optional<double> timeSavedSeconds(const UsagePeriod &month);

    static QString allTimeWords(const std::optional<UsageStats> &stats, const QLocale &locale = QLocale());
    static QString speakingPaceText(const std::optional<UsageStats> &stats);
    // The time saved this month; failing that the all-time speaking time.
    static QString timeSavedOrDuration(const std::optional<UsageStats> &stats);
};

} // namespace dravelin
