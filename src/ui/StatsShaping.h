#pragma once

#include "output/UsageStats.h"

#include <QDate>
#include <QList>
#include <QString>

#include <array>

// Turns the backend's usage figures into what the statistics screen charts:
// complete, ordered series with short labels. No widgets, so it can be tested
// on its own.
namespace dravelin::ui::stats {

inline constexpr int kHours = 24;

struct DayFigures
{
    QDate date;
    qint64 transcriptions = 0;
    qint64 words = 0;

    bool operator==(const DayFigures &) const = default;
};

struct AppFigures
{
    QString label;
    qint64 transcriptions = 0;
    qint64 words = 0;

    bool operator==(const AppFigures &) const = default;
};

struct PeriodColumn
{
    QString label; // "Last 7 days"
    int days = 0;
    UsagePeriod period;
};

inline const QString kOtherApps = QStringLiteral("Other");
inline const QString kUnknownApp = QStringLiteral("Unknown app");

// Whether anything was ever dictated.
bool hasDictations(const UsageStats &stats);

// How many days the per-day breakdown covers: the count the backend gives,
// else the length of its list; 0 without a breakdown.
int coveredDays(const UsageStats &stats);

// One entry per day for the `days` days ending with `today`, oldest first.
// Days the breakdown leaves out count zero; entries outside the window or
// with an unreadable date are dropped, and a date listed twice is summed.
QList<DayFigures> dailySeries(const UsageStats &stats, QDate today, int days);

// Dictations started in each hour of the day, 0…23.
std::array<qint64, kHours> hourlySeries(const UsageStats &stats);

// The `n` applications with the most words (then the most dictations), and
// "Other" summing the rest when there are more. Dictations with no known
// application are one entry, "Unknown app". Applications with nothing
// counted are left out.
QList<AppFigures> topApps(const UsageStats &stats, int n);

// The rolling 7-, 30- and 90-day windows; empty when the backend sent none.
QList<PeriodColumn> periodComparison(const UsageStats &stats);

// A short label for a day on a chart axis ("3 Mar").
QString shortDayLabel(QDate date, const QLocale &locale = QLocale());

// Which of `count` points along an axis get a label so that at most
// `maxLabels` show: every day, every other day, weekly, fortnightly or
// every four weeks, counted back from the newest point, which is always
// labelled. Ascending.
QList<int> labelledIndexes(int count, int maxLabels);

// A round step (1, 2 or 5 times a power of ten) that splits 0…max into at
// most `maxTicks` intervals, and never less than 1.
qint64 axisStep(qint64 max, int maxTicks);

} // namespace dravelin::ui::stats
