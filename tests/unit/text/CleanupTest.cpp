#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "support/FixedToken.h"
#include "support/LogCapture.h"
#include "support/ScriptedSender.h"
#include "text/CleanupService.h"
#include "text/FillerWordRemover.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using namespace std::chrono_literals;

namespace {

TEST(FillerWordsTest, RemovalKeepsWordsThatMerelyContainAFiller)
{
    const QStringList defaults = defaultFillerWords();
    EXPECT_EQ(defaults.size(), 19);
    EXPECT_EQ(FillerWordRemover::remove(QStringLiteral("Um, so I think, uh, we should go"), defaults),
              QStringLiteral("so I think, we should go"));
    EXPECT_EQ(FillerWordRemover::remove(QStringLiteral("likely an umbrella UM ready"), defaults),
              QStringLiteral("likely an umbrella ready"));
    EXPECT_EQ(FillerWordRemover::remove(QStringLiteral("you know you said it"),
                                        {QStringLiteral("you"), QStringLiteral("you know")}),
              QStringLiteral("said it"));
    EXPECT_EQ(FillerWordRemover::remove(QStringLiteral("a.b (c)"), {QStringLiteral("  "), QStringLiteral("(c)")}),
              QStringLiteral("a.b (c)")); // no word boundary before "(": left alone
}

TEST(FillerWordsTest, SettingsNormaliseAndFallBackToTheBuiltInList)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    EXPECT_FALSE(FillerWordsSettings::isEnabled(defaults));
    FillerWordsSettings::saveWords(
        defaults, {QStringLiteral("  Um "), QStringLiteral("um"), QString(), QStringLiteral("You Know")});
    EXPECT_EQ(FillerWordsSettings::words(defaults), (QStringList{QStringLiteral("um"), QStringLiteral("you know")}));
    FillerWordsSettings::saveWords(defaults, {QStringLiteral("   ")});
    EXPECT_FALSE(defaults.contains(QString::fromLatin1(FillerWordsSettings::kListKey)));
    EXPECT_EQ(FillerWordsSettings::words(defaults).size(), 19);
    defaults.set(QString::fromLatin1(FillerWordsSettings::kListKey), QByteArray("[]"));
    EXPECT_EQ(FillerWordsSettings::words(defaults).size(), 19);
    defaults.set(QString::fromLatin1(FillerWordsSettings::kListKey), QByteArray(R"({"a":1})"));
    EXPECT_EQ(FillerWordsSettings::words(defaults).size(), 19);
}

class CleanupServiceTest : public ::testing::Test
{
protected:
    template <typename T>
    T finish(QCoro::Task<T> task)
    {
        while (!task.isReady() && scheduler.runNext()) {
        }
        EXPECT_TRUE(task.isReady());
        return QCoro::waitFor(std::move(task));
    }

    VirtualScheduler scheduler;
    FixedToken token;
    test::ScriptedSender sender;
    CleanupService service{QUrl(QStringLiteral("http://127.0.0.1:9/functions/v1/cleanup")), token, sender, scheduler};
    test::LogCapture logs;
};

TEST_F(CleanupServiceTest, RequestBodyRepliesAndErrors)
{
    CleanupRequest request;
    request.text = QStringLiteral("so um yes");
    request.fillerWordsEnabled = true;
    request.fillerWords = {QStringLiteral("um")};
    sender.reply(200, R"({"text":"So, yes.","raw":"so um yes","cleaned":true,"retainRecording":"nope"})");
    const auto ok = finish(service.cleanup(request));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->text, QStringLiteral("So, yes."));
    EXPECT_FALSE(ok->retainRecording);
    EXPECT_EQ(sender.requests[0].body, R"({"text":"so um yes","filler_words_enabled":true,"filler_words":["um"]})");
    EXPECT_EQ(sender.requests[0].header("Authorization"), "Bearer token");
    EXPECT_TRUE(logs.has(QStringLiteral("cleanup"), QStringLiteral("Cleanup in 0 ms, changed=1")));

    request.vocabulary = QStringList{};
    request.clientRecordingId = QUuid(QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}"));
    request.durationMs = 1200;
    request.appBundleID = QStringLiteral("org.example.Editor");
    EXPECT_EQ(
        request.toJson(),
        R"({"text":"so um yes","app_bundle_id":"org.example.Editor","duration_ms":1200,"filler_words_enabled":true,)"
        R"("filler_words":["um"],"vocabulary":[],"clientRecordingId":"6F9619FF-8B86-D011-B42D-00C04FC964FF"})");

    sender.reply(502, R"({"error":null})");
    EXPECT_EQ(finish(service.cleanup(request)).error().description(),
              QStringLiteral("Formatting failed: cleanup failed"));
    sender.reply(401, "");
    EXPECT_EQ(finish(service.cleanup(request)).error().kind, CleanupError::Kind::unauthorized);
    sender.reply(200, R"({"text":"x"})");
    EXPECT_EQ(finish(service.cleanup(request)).error().kind, CleanupError::Kind::decodingFailed);
    sender.fail();
    EXPECT_EQ(finish(service.cleanup(request)).error().kind, CleanupError::Kind::network);
    token.token.reset();
    const auto sent = sender.requests.size();
    EXPECT_EQ(finish(service.cleanup(request)).error().kind, CleanupError::Kind::notAuthenticated);
    EXPECT_EQ(sender.requests.size(), sent);
}

TEST_F(CleanupServiceTest, WarmUpLogsItsStartDurationAndFailure)
{
    sender.hold = true;
    sender.reply(204, "");
    service.warmUp();
    service.warmUp(); // one at a time
    EXPECT_TRUE(logs.has(QStringLiteral("cleanup"), QStringLiteral("Warm-up started (OPTIONS)")));
    scheduler.advance(120ms);
    sender.release();
    scheduler.runPending();
    EXPECT_EQ(sender.requests.size(), 1u);
    EXPECT_EQ(sender.requests[0].method, "OPTIONS");
    EXPECT_TRUE(logs.has(QStringLiteral("cleanup"), QStringLiteral("Warm-up done in 120 ms (OPTIONS 204)")));

    sender.fail();
    service.warmUp();
    scheduler.runPending();
    EXPECT_TRUE(logs.has(QStringLiteral("cleanup"), QStringLiteral("Warm-up failed (ignored): Connection refused")));
}

// A model that answers after a set time.
class SlowModel final : public LanguageModel
{
public:
    explicit SlowModel(Scheduler &scheduler) : m_scheduler(scheduler) {}
    std::optional<QString> unavailableReason() const override { return std::nullopt; }
    QCoro::Task<Expected<QString, QString>> respond(QString instructions, QString) override
    {
        lastInstructions = instructions;
        co_await m_scheduler.sleep(delay);
        co_return Expected<QString, QString>(answer);
    }
    Millis delay{100};
    Expected<QString, QString> answer = QStringLiteral("Tidy text.");
    QString lastInstructions;

private:
    Scheduler &m_scheduler;
};

class FakeCloud final : public CleanupFormatting
{
public:
    void warmUp() override {}
    QCoro::Task<Expected<CleanupResponse, CleanupError>> cleanup(CleanupRequest request) override
    {
        ++calls;
        co_return CleanupResponse{QStringLiteral("cloud"), request.text, true, false, std::nullopt, std::nullopt};
    }
    int calls = 0;
};

TEST_F(CleanupServiceTest, OnDeviceModelWithinEightSecondsOrTheCloud)
{
    SlowModel model(scheduler);
    FakeCloud cloud;
    LocalCleanupService local(model, cloud, scheduler);
    CleanupRequest request;
    request.text = QStringLiteral(" tidy text. ");
    request.fillerWordsEnabled = true;
    request.fillerWords = {QStringLiteral(" UM "), QStringLiteral("Hmm"), QString()};
    request.appBundleID = QStringLiteral("org.example.Editor");

    model.answer = QStringLiteral("  tidy text.\n");
    const auto same = finish(local.cleanup(request));
    EXPECT_FALSE(same->cleaned);
    EXPECT_EQ(same->text, QStringLiteral("tidy text."));
    EXPECT_TRUE(model.lastInstructions.contains(QStringLiteral(
        "- Remove these filler words/sounds (case-insensitive): um, hmm. Also remove obvious false starts.")));
    EXPECT_TRUE(
        model.lastInstructions.endsWith(QStringLiteral("\nThe user is currently typing in: org.example.Editor")));

    // A blank reply is no reply: the transcript as it was, not cleaned.
    model.answer = QStringLiteral(" \n\t ");
    const auto blank = finish(local.cleanup(request));
    EXPECT_EQ(blank->text, request.text);
    EXPECT_FALSE(blank->cleaned);

    // Nine seconds is too slow: the cloud answers, the late model answer is dropped.
    model.delay = 9s;
    const auto timedOut = finish(local.cleanup(request));
    EXPECT_EQ(timedOut->text, QStringLiteral("cloud"));
    EXPECT_EQ(cloud.calls, 1);
    EXPECT_TRUE(logs.has(QStringLiteral("cleanup-local"), QStringLiteral("On-device cleanup timed out after 8s")));
    while (scheduler.runNext()) {
    }
    EXPECT_EQ(cloud.calls, 1);

    UnavailableLanguageModel none;
    LocalCleanupService linux(none, cloud, scheduler);
    EXPECT_EQ(finish(linux.cleanup(request))->text, QStringLiteral("cloud"));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("cleanup-local"), QStringLiteral("On-device model unavailable (")));
}

} // namespace
