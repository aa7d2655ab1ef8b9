#include "ui/StatsShaping.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;

namespace {

UsageDay day(const char *date, qint64 words, qint64 transcriptions = 1)
{
    return {QString::fromLatin1(date), transcriptions, words, 0};
}

UsageApp app(std::optional<QString> id, qint64 words, qint64 transcriptions = 1)
{
    return {std::move(id), transcriptions, words, 0};
}

} // namespace

TEST(StatsShapingTest, DailySeriesFillsGapsInDateOrderWithinTheWindow)
{
    UsageStats stats;
    stats.daily = QList<UsageDay>{
        day("2024-03-05", 50, 2), day("2024-03-01", 10),
        day("2024-03-03", 30),    day("2024-02-20", 999), // before the window
        day("2024-03-06", 999),                           // after today
        day("not a date", 999),   day("2024-03-03", 5),   // listed twice: summed
    };
    const QList<stats::DayFigures> series = stats::dailySeries(stats, QDate(2024, 3, 5), 5);
    ASSERT_EQ(series.size(), 5);
    const QList<qint64> words = {10, 0, 35, 0, 50};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(series[i].date, QDate(2024, 3, 1 + i));
        EXPECT_EQ(series[i].words, words[i]) << i;
    }
    EXPECT_EQ(series[2].transcriptions, 2);
    EXPECT_EQ(series[4].transcriptions, 2);

    stats.days = 90;
    EXPECT_EQ(stats::coveredDays(stats), 90) << "the backend's own count wins over the list length";
    stats.days.reset();
    EXPECT_EQ(stats::coveredDays(stats), 7);
}

TEST(StatsShapingTest, HourlySeriesHasTwentyFourBinsWhateverTheInput)
{
    UsageStats stats;
    stats.hourly = QList<UsageHour>{{23, 4, 100, 0}, {0, 1, 10, 0}, {24, 9, 9, 0}, {-1, 9, 9, 0}, {23, 1, 5, 0}};
    const auto bins = stats::hourlySeries(stats);
    EXPECT_EQ(bins[0], 1);
    EXPECT_EQ(bins[23], 5);
    qint64 total = 0;
    for (const qint64 count : bins)
        total += count;
    EXPECT_EQ(total, 6) << "hours outside 0…23 are ignored";
}

TEST(StatsShapingTest, TopAppsRankByWordsAndSumTheRestAsOther)
{
    UsageStats stats;
    stats.byApp = QList<UsageApp>{
        app(QStringLiteral("editor"), 40, 2), app(std::nullopt, 30, 3), app(QStringLiteral("mail"), 100, 1),
        app(QStringLiteral("chat"), 40, 5),   app(QString(), 5, 1),     app(QStringLiteral("notes"), 7, 2),
        app(QStringLiteral("idle"), 0, 0),
    };
    const QList<stats::AppFigures> top = stats::topApps(stats, 3);
    ASSERT_EQ(top.size(), 4);
    EXPECT_EQ(top[0], (stats::AppFigures{QStringLiteral("mail"), 1, 100}));
    EXPECT_EQ(top[1].label, u"chat") << "equal words: more dictations first";
    EXPECT_EQ(top[2].label, u"editor");
    EXPECT_EQ(top[3], (stats::AppFigures{stats::kOtherApps, 6, 42}))
        << "the unknown bucket (absent and empty ids merged) and notes";

    const QList<stats::AppFigures> all = stats::topApps(stats, 6);
    ASSERT_EQ(all.size(), 5) << "no Other when everything fits; nothing for an app with no use";
    EXPECT_EQ(all[3], (stats::AppFigures{stats::kUnknownApp, 4, 35}));
}

TEST(StatsShapingTest, EmptyStatsGiveEmptyOrZeroSeries)
{
    const UsageStats stats;
    EXPECT_FALSE(stats::hasDictations(stats));
    EXPECT_EQ(stats::coveredDays(stats), 0);
    EXPECT_TRUE(stats::topApps(stats, 6).isEmpty());
    EXPECT_TRUE(stats::periodComparison(stats).isEmpty());
    const QList<stats::DayFigures> series = stats::dailySeries(stats, QDate(2024, 1, 2), 3);
    ASSERT_EQ(series.size(), 3);
    EXPECT_EQ(series.front().date, QDate(2023, 12, 31));
    EXPECT_EQ(series.back().words, 0);
    for (const qint64 count : stats::hourlySeries(stats))
        EXPECT_EQ(count, 0);
}

TEST(StatsShapingTest, AxisLabelsAndStepsStayReadable)
{
    EXPECT_EQ(stats::labelledIndexes(5, 8), (QList<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(stats::labelledIndexes(30, 8), (QList<int>{1, 8, 15, 22, 29})) << "weekly, ending today";
    const QList<int> quarter = stats::labelledIndexes(90, 8);
    EXPECT_LE(quarter.size(), 8);
    EXPECT_EQ(quarter.back(), 89);

    EXPECT_EQ(stats::axisStep(0, 5), 1);
    EXPECT_EQ(stats::axisStep(7, 5), 2);
    EXPECT_EQ(stats::axisStep(1234, 5), 500);
}
