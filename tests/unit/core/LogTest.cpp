#include "core/Log.h"
#include "core/LogHandler.h"
#include "support/LogCapture.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

TEST(LogTest, CategoriesLiveUnderTheSubsystem)
{
    EXPECT_EQ(logs::componentOf("com.dravelin.mac.launch-at-login"), QStringLiteral("launch-at-login"));
    EXPECT_EQ(logs::componentOf("qt.network"), QString());

    test::LogCapture capture;
    logs::error(logs::keychain(), QStringLiteral("No Secret Service"));
    logs::info(logs::pipeline(), QStringLiteral("Toggle press (mode=toggle)"));
    ASSERT_EQ(capture.records().size(), 2u);
    EXPECT_EQ(capture.records()[0].category, QStringLiteral("keychain"));
    EXPECT_EQ(capture.records()[0].level, logs::Level::error);
    EXPECT_EQ(capture.records()[1].level, logs::Level::info);
}

TEST(LogTest, PrivateValuesAreRedactedInPersistedLogsOnly)
{
    const QString message =
        QStringLiteral("Signed in as %1 (%2)").arg(logs::priv(QStringLiteral("ada@example.com")), QStringLiteral("ok"));
    EXPECT_EQ(logs::redacted(message), QStringLiteral("Signed in as <private> (ok)"));
    EXPECT_EQ(logs::revealed(message), QStringLiteral("Signed in as ada@example.com (ok)"));
    EXPECT_EQ(logs::redacted(QStringLiteral("a ") + logs::priv(QStringLiteral("x")) + QStringLiteral(" b ") +
                             logs::priv(QStringLiteral("y"))),
              QStringLiteral("a <private> b <private>"));
}

TEST(LogTest, FileLinesRoundTripEvenWithTabsAndNewlines)
{
    logs::Record in{QDateTime(QDate(2026, 3, 1), QTime(12, 0, 1, 250), Qt::UTC), logs::Level::error,
                    QStringLiteral("transcribe"), QStringLiteral("line one\nline\ttwo \\n")};
    const QString line = logs::formatFileLine(in);
    EXPECT_FALSE(line.contains(u'\n'));
    logs::Record out;
    ASSERT_TRUE(logs::parseFileLine(line, out));
    EXPECT_EQ(out.time, in.time);
    EXPECT_EQ(out.level, in.level);
    EXPECT_EQ(out.category, in.category);
    EXPECT_EQ(out.message, in.message);
    EXPECT_FALSE(logs::parseFileLine(QStringLiteral("garbage"), out));
    EXPECT_FALSE(logs::parseFileLine(QStringLiteral("notadate\tinfo\tapp\tx"), out));
}

TEST(LogTest, RotatingFileKeepsRecentEntriesAndTheReaderReturnsOurOwnInOrder)
{
    QTemporaryDir dir;
    auto sink = std::make_shared<logs::RotatingFileSink>(dir.path(), 2000, 2);
    const QDateTime t0(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < 100; ++i) {
        sink->write({t0.addSecs(i), logs::Level::info, QStringLiteral("pipeline"),
                     QStringLiteral("entry %1 for ").arg(i) + logs::priv(QStringLiteral("secret"))});
        if (i % 10 == 0)
            sink->write({t0.addSecs(i), logs::Level::error, QStringLiteral("qt.network"), QStringLiteral("foreign")});
    }
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("dravelin.log.2"))));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("dravelin.log.3"))));
    qint64 total = 0;
    for (const char *name : {"dravelin.log", "dravelin.log.1", "dravelin.log.2"})
        total += QFileInfo(dir.filePath(QString::fromLatin1(name))).size();
    EXPECT_LE(total, 3 * 2000);

    const auto entries = logs::readRecentEntries(dir.path(), 5);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries.front().message, QStringLiteral("entry 95 for <private>"));
    EXPECT_EQ(entries.back().message, QStringLiteral("entry 99 for <private>"));
    const auto all = logs::readRecentEntries(dir.path(), -1);
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_LT(all[i - 1].time, all[i].time);
    for (const auto &e : all)
        EXPECT_EQ(e.category, QStringLiteral("pipeline"));

    // The command line's own file rotates on its own and stays out of the app's entries.
    auto cli = std::make_shared<logs::RotatingFileSink>(dir.path(), 2000, 2, QStringLiteral("dravelin-cli.log"));
    for (int i = 0; i < 100; ++i)
        cli->write(
            {t0.addSecs(200 + i), logs::Level::info, QStringLiteral("pipeline"), QStringLiteral("cli %1").arg(i)});
    EXPECT_EQ(cli->filePath(), dir.filePath(QStringLiteral("dravelin-cli.log")));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("dravelin-cli.log.1"))));
    EXPECT_EQ(logs::readRecentEntries(dir.path(), 1).back().message, QStringLiteral("entry 99 for <private>"));
}
