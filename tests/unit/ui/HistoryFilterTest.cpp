#include "ui/HistoryFilter.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;

namespace {

const QDateTime kNow(QDate(2025, 6, 12), QTime(15, 30)); // a Thursday, local time

ClipboardEntry entry(const QString &text, const QDateTime &at, std::optional<QString> app = std::nullopt,
                     std::optional<QString> window = std::nullopt)
{
    return ClipboardEntry{QUuid::createUuid(), text, at, std::move(app), std::move(window), false};
}

bool found(const ClipboardEntry &e, const QString &query)
{
    return historyFilter::matches(e, historyFilter::searchWords(query));
}

} // namespace

TEST(HistoryFilterTest, SearchNeedsEveryWordSomewhereIgnoringCase)
{
    const ClipboardEntry e =
        entry(QStringLiteral("Send the quarterly report"), kNow, QStringLiteral("firefox"), QStringLiteral("Inbox"));
    EXPECT_TRUE(found(e, QString()));
    EXPECT_TRUE(found(e, QStringLiteral("   ")));
    EXPECT_TRUE(found(e, QStringLiteral("REPORT")));
    EXPECT_TRUE(found(e, QStringLiteral("report  Firefox\tinbox"))) << "words may match different fields";
    EXPECT_FALSE(found(e, QStringLiteral("report chrome"))) << "every word must match";
    EXPECT_FALSE(found(e, QStringLiteral("reportfire"))) << "a word never spans two fields";

    const ClipboardEntry bare = entry(QStringLiteral("hello"), kNow);
    EXPECT_FALSE(found(bare, QStringLiteral("hello inbox"))) << "absent fields match nothing";
}

TEST(HistoryFilterTest, DestinationNamesTheApplicationAndItsWindow)
{
    EXPECT_EQ(historyFilter::applicationName(QStringLiteral("org.gnome.TextEditor")), u"TextEditor");
    EXPECT_EQ(historyFilter::destination(entry({}, kNow, QStringLiteral("firefox"), QStringLiteral("Inbox"))),
              u"Firefox — Inbox");
    EXPECT_EQ(historyFilter::destination(entry({}, kNow, QStringLiteral("gedit"), QStringLiteral("gedit"))), u"Gedit")
        << "a window titled like its application is not named twice";
    EXPECT_EQ(historyFilter::destination(entry({}, kNow, std::nullopt, QStringLiteral("  Notes\n"))), u"Notes");
    EXPECT_EQ(historyFilter::destination(entry({}, kNow)), QString());
}

TEST(HistoryFilterTest, DaysAndTimesReadRelativeToToday)
{
    const QDate today = kNow.date();
    EXPECT_EQ(historyFilter::dayLabel(today, today), u"Today");
    EXPECT_EQ(historyFilter::dayLabel(today.addDays(-1), today), u"Yesterday");
    EXPECT_EQ(historyFilter::dayLabel(today.addDays(-3), today), u"Monday");
    EXPECT_EQ(historyFilter::dayLabel(today.addDays(-7), today), u"5 June") << "a week back is a date";
    EXPECT_EQ(historyFilter::dayLabel(QDate(2024, 12, 31), today), u"31 December 2024");
    EXPECT_EQ(historyFilter::dayLabel(today.addDays(1), today), u"13 June") << "a clock ahead is not 'Today'";

    EXPECT_EQ(historyFilter::timeLabel(QDateTime(today, QTime(14, 3)), kNow), u"Today 14:03");
    EXPECT_EQ(historyFilter::timeLabel(QDateTime(today.addDays(-1), QTime(9, 5)), kNow), u"Yesterday 09:05");
    EXPECT_EQ(historyFilter::timeLabel(QDateTime(QDate(2025, 3, 3), QTime(8, 15)), kNow), u"3 March 08:15");
    EXPECT_EQ(historyFilter::timeLabel(QDateTime(QDate(2024, 3, 3), QTime(8, 15)), kNow), u"3 March 2024");
    // Stored times are UTC; the labels are the user's local day and time.
    const QDateTime local(today, QTime(0, 10));
    EXPECT_EQ(historyFilter::timeLabel(local.toUTC(), kNow), u"Today 00:10");
}

TEST(HistoryFilterTest, RowsGroupMatchingEntriesUnderTheirDay)
{
    const QDate today = kNow.date();
    const std::vector<ClipboardEntry> entries{
        entry(QStringLiteral("lunch at noon"), QDateTime(today, QTime(14, 0))),
        entry(QStringLiteral("call the bank"), QDateTime(today, QTime(9, 0))),
        entry(QStringLiteral("lunch order"), QDateTime(today.addDays(-1), QTime(12, 0))),
        entry(QStringLiteral("dentist"), QDateTime(QDate(2025, 5, 2), QTime(10, 0))),
    };
    const auto describe = [](const std::vector<historyFilter::Row> &rows) {
        QStringList parts;
        for (const auto &row : rows)
            parts << (row.kind == historyFilter::Row::Kind::day ? row.label : QString::number(row.entryIndex));
        return parts.join(u',');
    };
    EXPECT_EQ(describe(historyFilter::rows(entries, QString(), kNow)), u"Today,0,1,Yesterday,2,2 May,3");
    EXPECT_EQ(describe(historyFilter::rows(entries, QStringLiteral("lunch"), kNow)), u"Today,0,Yesterday,2");
    EXPECT_EQ(describe(historyFilter::rows(entries, QStringLiteral("bank dentist"), kNow)), QString())
        << "a day with no match has no heading";
}
