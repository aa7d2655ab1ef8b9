#include "system/UpdateService.h"

#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "support/LogCapture.h"
#include "support/ScriptedSender.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

QByteArray feed(const QByteArray &version)
{
    return R"({"items":[{"version":")" + version + R"(","url":"https://example.org/dravelin_)" + version +
           R"(_amd64.deb","notes":"Faster.","published":"2026-12-01"}]})";
}

class UpdateServiceTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(QStringLiteral("settings.json"))};
    VirtualScheduler scheduler;
    test::ScriptedSender sender;
    test::LogCapture logs;
    std::unique_ptr<UpdateService> service = std::make_unique<UpdateService>(
        defaults, scheduler, sender, UpdateService::feedURLFor(QUrl(QStringLiteral("http://127.0.0.1:54321"))),
        QStringLiteral("0.3.0"));
    UpdateService &updates = *service;

    // The schedule, cancelled with the service, winds down on the next turn.
    ~UpdateServiceTest() override
    {
        service.reset();
        sender.release();
        scheduler.runPending();
    }
};

} // namespace

TEST_F(UpdateServiceTest, ChecksAMinuteAfterStartThenDailyAndTellsWhatItFound)
{
    sender.reply(200, feed("0.4.0"));
    scheduler.advance(59s);
    EXPECT_TRUE(sender.requests.empty());
    scheduler.advance(1s);
    ASSERT_EQ(sender.requests.size(), 1u);
    EXPECT_EQ(sender.requests[0].method, "GET");
    EXPECT_EQ(sender.requests[0].url, QUrl(QStringLiteral("http://127.0.0.1:54321/updates/feed.json")));
    EXPECT_TRUE(sender.requests[0].header("Authorization").isEmpty());
    EXPECT_EQ(updates.state(), UpdateState::available);
    EXPECT_EQ(updates.latest(), (UpdateRelease{QStringLiteral("0.4.0"),
                                               QUrl(QStringLiteral("https://example.org/dravelin_0.4.0_amd64.deb")),
                                               QStringLiteral("Faster."), QStringLiteral("2026-12-01")}));

    for (const QByteArray &version : {QByteArray("0.2.9"), QByteArray("0.3.0"), QByteArray("v0.3")}) {
        sender.reply(200, feed(version));
        updates.checkForUpdates();
        EXPECT_EQ(updates.state(), UpdateState::upToDate) << version.constData();
    }
    EXPECT_TRUE(logs.has(QStringLiteral("updates"), QStringLiteral("Manual update check triggered")));

    sender.reply(200, feed("0.3.1"));
    scheduler.advance(24h);
    EXPECT_EQ(sender.requests.size(), 5u);
    EXPECT_EQ(updates.state(), UpdateState::available);

    // Switched off: no more automatic checks; a user-set feed is used.
    defaults.set(QString::fromLatin1(UpdateService::kAutomaticChecksKey), false);
    scheduler.advance(72h);
    EXPECT_EQ(sender.requests.size(), 5u);
    defaults.set(QString::fromLatin1(UpdateService::kFeedURLKey), QStringLiteral("https://example.org/feed.json"));
    sender.reply(200, R"({"items":[]})");
    updates.checkForUpdates();
    EXPECT_EQ(sender.requests.back().url, QUrl(QStringLiteral("https://example.org/feed.json")));
    EXPECT_EQ(updates.state(), UpdateState::upToDate);
}

TEST_F(UpdateServiceTest, OneCheckAtATime)
{
    int published = 0;
    QObject::connect(&updates, &UpdateService::stateChanged, [&] { ++published; });
    sender.hold = true;
    sender.reply(200, feed("0.4.0"));
    updates.checkForUpdates();
    updates.checkForUpdates();
    EXPECT_EQ(updates.state(), UpdateState::checking);
    EXPECT_FALSE(updates.canCheckForUpdates());
    scheduler.advance(1min); // the automatic check finds one running
    EXPECT_EQ(sender.requests.size(), 1u);
    sender.release();
    EXPECT_TRUE(updates.canCheckForUpdates());
    EXPECT_EQ(updates.state(), UpdateState::available);
    EXPECT_EQ(published, 2);
}

TEST_F(UpdateServiceTest, FailuresSayWhatWentWrong)
{
    const auto failure = [this](const std::function<void()> &script) {
        script();
        updates.checkForUpdates();
        EXPECT_EQ(updates.state(), UpdateState::failed);
        return updates.error();
    };
    EXPECT_EQ(failure([&] { sender.fail(); }), QStringLiteral("Could not reach the update server: Connection refused"));
    EXPECT_EQ(failure([&] { sender.reply(404, "{}"); }), QStringLiteral("The update server answered with HTTP 404."));
    EXPECT_TRUE(failure([&] {
                    sender.reply(200, "<html>");
                }).startsWith(QStringLiteral("The update feed could not be read: malformed JSON")));
    // Items without a readable version, or linking somewhere that is not a web page, are not offered.
    EXPECT_EQ(failure([&] {
                  sender.reply(200, R"({"items":[{"version":"soon"},{"version":"9.0","url":"file:///bin/sh"}]})");
              }),
              QStringLiteral("The update feed could not be read: no item of the feed names a version Dravelin can "
                             "read."));
    EXPECT_EQ(failure([&] { sender.reply(200, QByteArray(UpdateService::kMaxFeedBytes + 1, ' ')); }),
              QStringLiteral("The update feed is larger than 64 KB."));
    EXPECT_FALSE(updates.latest().has_value());
}

TEST(VersionComparisonTest, NumbersCompareNumericallyAndPreReleasesComeFirst)
{
    struct Case
    {
        const char *a;
        const char *b;
        std::optional<int> order;
    };
    for (const Case &c : std::vector<Case>{
             {"1.10", "1.9", 1},
             {"1.0", "1.0.0", 0},
             {"0.4.0", "0.3.12", 1},
             {"v1.2", "1.2", 0},
             {"1.0-rc1", "1.0", -1},
             {"1.0-rc.2", "1.0-rc1", 1},
             {"1.0-rc10", "1.0-rc9", 1},
             {"1.0-beta", "1.0-rc1", -1},
             {"1.0-rc", "1.0-rc.1", -1},
             {"1.0+build7", "1.0", 0},
             {"2.0-rc1", "1.9", 1},
             {"123456789012345678901234", "123456789012345678901233", 1},
             {"1.x", "1.0", std::nullopt},
             {"", "1.0", std::nullopt},
             {"1.0-", "1.0", std::nullopt},
         }) {
        EXPECT_EQ(compareVersions(QString::fromLatin1(c.a), QString::fromLatin1(c.b)), c.order) << c.a << " vs " << c.b;
        if (c.order) {
            EXPECT_EQ(compareVersions(QString::fromLatin1(c.b), QString::fromLatin1(c.a)), -*c.order) << c.b;
        }
    }
}
