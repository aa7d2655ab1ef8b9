#include "ui/LogFilter.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;
using logs::Level;

namespace {

std::vector<logs::Record> sampleLog()
{
    const QDateTime t = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    return {
        {t, Level::debug, QStringLiteral("pipeline"), QStringLiteral("Session started")},
        {t, Level::info, QStringLiteral("audio"), QStringLiteral("Microphone opened: USB headset")},
        {t, Level::error, QStringLiteral("pipeline"), QStringLiteral("Transcription failed: timed out")},
        {t, Level::info, QStringLiteral("usage"), QStringLiteral("Usage refreshed")},
        {t, Level::error, QStringLiteral("audio"), QStringLiteral("Microphone lost")},
    };
}

} // namespace

TEST(LogFilterTest, LevelsAndCategoryNarrowTheEntries)
{
    const auto log = sampleLog();
    LogFilter filter;
    EXPECT_EQ(filter.matching(log), (QList<int>{0, 1, 2, 3, 4}));
    filter.levels = LogFilter::Levels::infoAndErrors;
    EXPECT_EQ(filter.matching(log), (QList<int>{1, 2, 3, 4}));
    filter.levels = LogFilter::Levels::errorsOnly;
    EXPECT_EQ(filter.matching(log), (QList<int>{2, 4}));
    filter.category = QStringLiteral("audio");
    EXPECT_EQ(filter.matching(log), (QList<int>{4}));
    filter.levels = LogFilter::Levels::all;
    filter.category = QStringLiteral("aud");
    EXPECT_TRUE(filter.matching(log).isEmpty()) << "a category is matched whole";
}

TEST(LogFilterTest, SearchNeedsEveryWordInMessageOrCategoryIgnoringCase)
{
    const auto log = sampleLog();
    LogFilter filter;
    filter.search = QStringLiteral("  MICROPHONE ");
    EXPECT_EQ(filter.matching(log), (QList<int>{1, 4}));
    filter.search = QStringLiteral("microphone lost");
    EXPECT_EQ(filter.matching(log), (QList<int>{4})) << "words need not be adjacent, but all must appear";
    filter.search = QStringLiteral("pipeline failed");
    EXPECT_EQ(filter.matching(log), (QList<int>{2})) << "one word in the category, one in the message";
    filter.search = QStringLiteral("nothing like this");
    EXPECT_TRUE(filter.matching(log).isEmpty());
}

TEST(LogFilterTest, CategoriesAreListedOnceInOrder)
{
    EXPECT_EQ(LogFilter::categories(sampleLog()),
              (QStringList{QStringLiteral("audio"), QStringLiteral("pipeline"), QStringLiteral("usage")}));
    EXPECT_TRUE(LogFilter::categories({}).isEmpty());
}
