// The quality classifier and reporter, and the usage figures: what the app
// judges, sends and derives; the backend's side is in the server tests.

#include "core/TimeFormatting.h"
#include "core/VirtualScheduler.h"
#include "output/TranscriptionQualityReporter.h"
#include "output/UsageService.h"
#include "pipeline/BackendQualityReporting.h"
#include "support/FixedToken.h"
#include "support/LogCapture.h"
#include "support/ScriptedSender.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using namespace std::chrono_literals;
using Category = AdminTranscriptionQualityCategory;

namespace {

const QUuid kRecording(QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}"));

TEST(TranscriptionQualityMappingTest, JudgesEmptyShortAndRepeatingTranscripts)
{
    struct Case
    {
        const char *text;
        std::optional<qint64> durationMs;
        Category category;
        const char *reason; // nullptr: none
    };
    const std::vector<Case> cases{
        {"   \n\t ", 8000, Category::noSpeech, "empty_transcript"},
        {"", std::nullopt, Category::noSpeech, "empty_transcript"},
        {"two words", 8000, Category::accuracyIssue, "partial_transcript"},           // fewer than 3 in 6–10 s
        {"two words", 5000, Category::success, nullptr},                              // exactly 24 a minute is enough
        {"one", 5000, Category::accuracyIssue, "partial_transcript"},                 // 12 a minute
        {"one two three four", 12000, Category::accuracyIssue, "partial_transcript"}, // fewer than 5 in 10 s+
        {"one two three four five six", 12000, Category::success, nullptr},           // 30 a minute
        {"one", 3999, Category::success, nullptr},         // short recordings are never judged
        {"one", std::nullopt, Category::success, nullptr}, // nor those of unknown length
        {"seven words in sixty seconds are few", 60000, Category::accuracyIssue, "partial_transcript"},
        {"go go go go now", 2000, Category::accuracyIssue, "incorrect_transcript"},
        {"Go GO go gO now", 2000, Category::accuracyIssue, "incorrect_transcript"},    // case is ignored
        {"go go go stop stop", 2000, Category::success, nullptr},                      // runs of 3 and 2
        {"go go, go go now", 2000, Category::success, nullptr},                        // "go," is another word
        {"go\u00a0go\ngo\tgo", 2000, Category::accuracyIssue, "incorrect_transcript"}, // any whitespace splits
    };
    for (const Case &c : cases) {
        const auto [category, reason] =
            TranscriptionQualityMapping::classifyCompleted(QString::fromUtf8(c.text), c.durationMs);
        EXPECT_EQ(category, c.category) << c.text;
        EXPECT_EQ(reason, c.reason ? std::optional<QString>(QString::fromUtf8(c.reason)) : std::nullopt) << c.text;
    }
}

class QualityReporterTest : public ::testing::Test
{
protected:
    // Starts a report the way the pipeline does and lets it run on the virtual clock.
    void reportThroughPipelineSide(QString reason)
    {
        BackendQualityReporting pipelineSide(reporter);
        pipelineSide.report(kRecording, QualityCategory::noSpeech, std::move(reason), 8000, QStringLiteral("whisper"));
        scheduler.runPending();
    }

    VirtualScheduler scheduler;
    FixedToken token;
    test::ScriptedSender sender;
    TranscriptionQualityReporter reporter{
        QUrl(QStringLiteral("http://127.0.0.1:9/functions/v1/report-transcription-quality")), token, "anon", sender,
        scheduler};
    test::LogCapture logs;
};

TEST_F(QualityReporterTest, SendsTheReportWithTheBackendsHeadersAndLeavesOutAbsentValues)
{
    sender.reply(200, R"({"stored":true})");
    reportThroughPipelineSide(QStringLiteral("empty_transcript"));
    ASSERT_EQ(sender.requests.size(), 1u);
    const HttpRequest &sent = sender.requests[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.url.path(), QStringLiteral("/functions/v1/report-transcription-quality"));
    EXPECT_EQ(sent.header("Authorization"), "Bearer token");
    EXPECT_EQ(sent.header("apikey"), "anon");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.body, R"({"clientRecordingId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","category":"no_speech",)"
                         R"("reason":"empty_transcript","durationMs":8000,"engine":"whisper"})");

    sender.requests.clear();
    reporter.report({kRecording, Category::error, std::nullopt, std::nullopt, std::nullopt});
    ASSERT_EQ(sender.requests.size(), 1u);
    EXPECT_EQ(sender.requests[0].body,
              R"({"clientRecordingId":"6F9619FF-8B86-D011-B42D-00C04FC964FF","category":"error"})");
    EXPECT_TRUE(logs.has(QStringLiteral("quality"), QStringLiteral("Quality report failed: Connection refused")));

    sender.requests.clear();
    token.token = QString();
    reporter.report({kRecording, Category::error, QStringLiteral("network"), std::nullopt, std::nullopt});
    EXPECT_TRUE(sender.requests.empty());
    EXPECT_TRUE(logs.has(QStringLiteral("quality"), QStringLiteral("Quality report skipped — no token")));
    EXPECT_EQ(reporter.taskTracker().pendingCount(), 0);
}

TEST_F(QualityReporterTest, ADeferredReportIsSentOnceMoreTwoSecondsLaterAndNeverAThirdTime)
{
    sender.reply(503, R"({"deferred":true})"); // the flags count whatever the status
    sender.reply(200, R"({"deferred":true})");
    reporter.report({kRecording, Category::accuracyIssue, QStringLiteral("partial_transcript"), 9000, std::nullopt});
    EXPECT_EQ(sender.requests.size(), 1u);
    scheduler.advance(1999ms);
    EXPECT_EQ(sender.requests.size(), 1u);
    scheduler.advance(1ms);
    ASSERT_EQ(sender.requests.size(), 2u);
    EXPECT_EQ(sender.requests[1].body, sender.requests[0].body);
    scheduler.advance(10s);
    EXPECT_EQ(sender.requests.size(), 2u);
    EXPECT_EQ(scheduler.pendingWakes(), 0u);
    EXPECT_EQ(reporter.taskTracker().pendingCount(), 0);

    // An administrator's label ends the report whatever "deferred" says.
    sender.requests.clear();
    sender.reply(200, R"({"deferred":true,"ignored":"admin_override"})");
    reporter.report({kRecording, Category::noSpeech, QStringLiteral("empty_transcript"), 9000, std::nullopt});
    scheduler.advance(5s);
    EXPECT_EQ(sender.requests.size(), 1u);
    EXPECT_TRUE(logs.has(QStringLiteral("quality"), QStringLiteral("Quality report ignored — admin override")));

    // A reply too large to be one is not read: no retry.
    sender.requests.clear();
    sender.reply(200, R"({"deferred":true,"pad":")" + QByteArray(64 * 1024, 'x') + R"("})");
    reporter.report({kRecording, Category::noSpeech, QStringLiteral("empty_transcript"), 9000, std::nullopt});
    scheduler.advance(5s);
    EXPECT_EQ(sender.requests.size(), 1u);
}

TEST(TimeFormattingTest, ShowsTheTwoLargestUnits)
{
    const std::vector<std::pair<double, const char *>> cases{
        {0, "0s"},          {44.6, "45s"},     {59.4, "59s"},     {59.5, "1m"},     {60, "1m"},
        {125, "2m 5s"},     {3599, "59m 59s"}, {3600, "1h"},      {5400, "1h 30m"}, {5459, "1h 30m"},
        {86399, "23h 59m"}, {86400, "1d"},     {183600, "2d 3h"}, {-5, "0s"},
    };
    for (const auto &[seconds, text] : cases)
        EXPECT_EQ(TimeFormatting::timeSaved(seconds), QString::fromUtf8(text)) << seconds;
}

TEST(UsageFiguresTest, PaceTimeSavedAndTheirPlaceholders)
{
    UsageStats stats;
    stats.allTime = {10, 1500, 600, 0}; // 1500 words in 10 minutes
    stats.month = {3, 100, 60, 0};      // typing would take 150 s
    EXPECT_EQ(UsageFigures::speakingPace(stats.allTime), 150);
    EXPECT_EQ(UsageFigures::timeSavedSeconds(stats.month), 90.0);
    EXPECT_EQ(UsageFigures::timeSavedOrDuration(stats), QStringLiteral("1m 30s"));
    EXPECT_EQ(UsageFigures::allTimeWords(stats, QLocale(QLocale::English)), QStringLiteral("1,500"));
    EXPECT_EQ(UsageFigures::speakingPaceText(stats), QStringLiteral("150"));

    stats.allTime.words = 1;
    stats.allTime.seconds = 119; // 0.504 words a minute rounds to 1
    EXPECT_EQ(UsageFigures::speakingPace(stats.allTime), 1);

    stats.month = {1, 10, 30, 0}; // slower than typing: nothing saved, never negative
    EXPECT_EQ(UsageFigures::timeSavedSeconds(stats.month), 0.0);
    stats.month = {0, 0, 0, 0}; // nothing this month: the all-time speaking time instead
    EXPECT_EQ(UsageFigures::timeSavedSeconds(stats.month), std::nullopt);
    EXPECT_EQ(UsageFigures::timeSavedOrDuration(stats), QStringLiteral("1m 59s"));
    stats.allTime = {};
    EXPECT_EQ(UsageFigures::speakingPaceText(stats), UsageFigures::kNone);
    EXPECT_EQ(UsageFigures::timeSavedOrDuration(stats), UsageFigures::kNone);
    EXPECT_EQ(UsageFigures::allTimeWords(std::nullopt), UsageFigures::kNone);
}

TEST(UsageServiceTest, RefreshesFromTheBackendAndKeepsTheFiguresOnAFailure)
{
    FixedToken token;
    test::ScriptedSender sender;
    test::LogCapture logs;
    UsageService usage(QUrl(QStringLiteral("http://127.0.0.1:9/functions/v1/usage")), token, sender, "Europe/Berlin");
    int changes = 0;
    QObject::connect(&usage, &UsageService::statsChanged, [&] { ++changes; });

    const QByteArray minimal = R"({"month":{"transcriptions":2,"words":30,"seconds":12,"estimated_cost_usd":0},)"
                               R"("all_time":{"transcriptions":5,"words":80,"seconds":40,"estimated_cost_usd":0.5}})";
    sender.reply(200, minimal);
    QCoro::waitFor(usage.refresh());
    ASSERT_EQ(sender.requests.size(), 1u);
    const HttpRequest &sent = sender.requests[0];
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.url.query(), QStringLiteral("tz=Europe/Berlin&days=90"));
    EXPECT_EQ(sent.headers.size(), 1); // the bearer token only
    EXPECT_EQ(sent.header("Authorization"), "Bearer token");
    ASSERT_TRUE(usage.stats());
    EXPECT_EQ(usage.stats()->allTime.words, 80);
    EXPECT_FALSE(usage.stats()->daily);
    EXPECT_FALSE(usage.isLoading());
    EXPECT_TRUE(
        logs.has(QStringLiteral("usage"), QStringLiteral("Usage refreshed: 30 words / 12s this month · breakdown=no")));

    // The same figures again change nothing for observers.
    sender.reply(200, minimal);
    QCoro::waitFor(usage.refresh());
    EXPECT_EQ(changes, 1);

    // Only 200 is an answer; a reply that does not decode is a failure too. Both keep what was there.
    sender.reply(204, {});
    QCoro::waitFor(usage.refresh());
    EXPECT_TRUE(logs.has(QStringLiteral("usage"), QStringLiteral("Usage HTTP error: 204 body=")));
    QByteArray withApps = minimal;
    withApps.chop(1);
    sender.reply(200, withApps + R"(,"by_app":[{"transcriptions":1,"words":3,"seconds":1}]})");
    QCoro::waitFor(usage.refresh());
    ASSERT_TRUE(usage.stats()->byApp);
    EXPECT_EQ(usage.stats()->byApp->at(0).appBundleId, std::nullopt);
    sender.reply(200, withApps + R"(,"by_app":[{"app_bundle_id":"x","transcriptions":1,"seconds":1}]})");
    QCoro::waitFor(usage.refresh());
    EXPECT_TRUE(
        logs.hasPrefix(QStringLiteral("usage"), QStringLiteral("Usage fetch failed: by_app: missing key \"words\"")));
    EXPECT_EQ(usage.stats()->byApp->size(), 1);
    EXPECT_EQ(changes, 2);

    // Signed out: no request, no loading.
    sender.requests.clear();
    token.token.reset();
    QCoro::waitFor(usage.refresh());
    EXPECT_TRUE(sender.requests.empty());
    EXPECT_FALSE(usage.isLoading());
    EXPECT_TRUE(logs.has(QStringLiteral("usage"), QStringLiteral("Usage refresh skipped — not signed in")));
}

} // namespace
