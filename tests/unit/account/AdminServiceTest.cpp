// The administrators' client: what each failure shows, one action at a time,
// and what a dashboard must hold to be read at all.

#include "account/AdminService.h"
#include "support/FixedToken.h"
#include "support/ScriptedSender.h"

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using dravelin::test::ScriptedSender;

namespace {

const QUrl kEndpoint(QStringLiteral("http://127.0.0.1:9/functions/v1/admin-dashboard"));

// The smallest dashboard a backend may send: no recordings, quality or coverage.
const QByteArray kMinimalDashboard =
    R"({"generatedAt":"2026-12-07T10:00:00Z","metrics":{"totalUsers":1,"activeUsers":1,"newToday":0,)"
    R"("newThisWeek":0,"newThisMonth":1,"totalRecordings":3,"totalUsageMs":9000,"averageUsageMs":9000},)"
    R"("usageSeries":[{"date":"2026-12-07","activeUsers":1,"recordings":3,"durationMs":9000}],)"
    R"("users":[{"id":"u1","name":"Ada","email":"ada@example.com","createdAt":"2026-12-01T00:00:00Z",)"
    R"("totalUsageMs":9000,"recordings":3,"status":"active","isAdmin":true}],)"
    R"("admins":[{"id":"u1","name":"Ada","email":"ada@example.com","status":"active"}],)"
    R"("recentActivity":[{"id":"a","type":"invited","label":"x","user":"Ada","email":"e","at":"t"}]})";

struct Fixture
{
    FixedToken token;
    ScriptedSender sender;
    AdminService service{kEndpoint, token, sender, "public-key"};
};

} // namespace

TEST(AdminServiceTest, EachFailureShowsItsTextAndKeepsTheLastDashboard)
{
    Fixture f;
    f.sender.reply(200, kMinimalDashboard);
    QCoro::waitFor(f.service.refresh());
    ASSERT_TRUE(f.service.data());
    EXPECT_EQ(f.service.data()->recentActivity.at(0).type, AdminDashboardData::Activity::Kind::other);
    const HttpRequest &sent = f.sender.requests.at(0);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, R"({"action":"dashboard"})");
    EXPECT_EQ(sent.header("apikey"), "public-key");
    EXPECT_EQ(sent.header("authorization"), "Bearer token");

    const QList<std::pair<HttpReply, QString>> failures{
        {{403, R"({"error":""})"}, QStringLiteral("Administrator access is required.")},
        {{403, "Only administrators"}, QStringLiteral("Only administrators")},
        {{401, R"({"error":"jwt expired"})"}, QStringLiteral("Your session has expired. Sign in again to continue.")},
        {{500, QByteArray("\xff\xfe", 2)}, QStringLiteral("The admin service could not complete the request.")},
        {{502, R"({"error":"upstream down"})"}, QStringLiteral("upstream down")},
        {{200, "{\"generatedAt\":"}, QStringLiteral("The admin service returned an unexpected response.")},
        {{200, R"({"generatedAt":"x","metrics":{}})"},
         QStringLiteral("The admin service returned an unexpected response.")},
    };
    for (const auto &[reply, text] : failures) {
        f.sender.reply(reply.status, reply.body);
        QCoro::waitFor(f.service.refresh());
        EXPECT_EQ(f.service.errorMessage(), text) << reply.body.constData();
        EXPECT_FALSE(f.service.isLoading());
    }
    QCoro::waitFor(f.service.refresh()); // nothing scripted: the connection is refused
    EXPECT_EQ(f.service.errorMessage(), QStringLiteral("Network error: Connection refused"));
    EXPECT_EQ(f.service.data()->metrics.totalRecordings, 3); // still the first dashboard

    f.token.token.reset();
    QCoro::waitFor(f.service.refresh());
    EXPECT_EQ(f.service.errorMessage(), QStringLiteral("Your session has expired. Sign in again to continue."));
    EXPECT_EQ(f.sender.requests.size(), 9u); // nothing sent without a token
}

TEST(AdminServiceTest, ActionsRunOneAtATimeAndRefreshOnlyWhenConfirmed)
{
    Fixture f;
    f.sender.reply(200, R"({"ok":false})");
    EXPECT_FALSE(QCoro::waitFor(
        f.service.mutate(QStringLiteral("u2"), AdminRequest::setUserEnabled(QStringLiteral("u2"), false))));
    EXPECT_EQ(f.service.errorMessage(), QStringLiteral("The admin operation was not confirmed."));
    ASSERT_EQ(f.sender.requests.size(), 1u); // no refresh
    EXPECT_EQ(f.sender.requests[0].body, R"({"action":"set_user_enabled","userId":"u2","enabled":false})");
    EXPECT_FALSE(f.service.actionUserID());

    f.sender.hold = true;
    f.sender.reply(200, R"({"ok":true})");
    f.sender.reply(200, kMinimalDashboard);
    auto first = f.service.mutate(QStringLiteral("u2"), AdminRequest::deleteUser(QStringLiteral("u2")));
    EXPECT_EQ(f.service.actionUserID(), QStringLiteral("u2"));
    EXPECT_FALSE(
        QCoro::waitFor(f.service.mutate(QStringLiteral("u3"), AdminRequest::deleteUser(QStringLiteral("u3")))));
    EXPECT_EQ(f.sender.requests.size(), 2u); // the second sent nothing
    f.sender.release();
    EXPECT_TRUE(QCoro::waitFor(std::move(first)));
    EXPECT_EQ(f.sender.requests.size(), 3u); // the action, then the dashboard
    EXPECT_TRUE(f.service.data());
    EXPECT_FALSE(f.service.actionUserID());
    EXPECT_FALSE(f.service.errorMessage());

    const AdminRequest label = AdminRequest::setRecordingQuality(
        QStringLiteral("t1"), AdminTranscriptionQualityCategory::accuracyIssue, QStringLiteral("partial_transcript"));
    EXPECT_EQ(json::encode(label.toJson()),
              R"({"action":"set_recording_quality","transcriptionId":"t1",)"
              R"("qualityCategory":"accuracy_issue","qualityReason":"partial_transcript"})");
}

TEST(AdminServiceTest, ARecordingLinkOnlyWhenTheAudioIsThereAndTheUrlParses)
{
    Fixture f;
    const QList<std::pair<QByteArray, std::optional<QUrl>>> replies{
        {R"({"audioAvailable":true,"url":"http://h/r?token=t","expiresIn":300})",
         QUrl(QStringLiteral("http://h/r?token=t"))},
        {R"({"audioAvailable":true})", std::nullopt},
        {R"({"audioAvailable":true,"url":"::not a url"})", std::nullopt},
        {R"({"audioAvailable":false,"url":"http://h/r"})", std::nullopt},
    };
    for (const auto &[body, expected] : replies) {
        f.sender.reply(200, body);
        const auto url = QCoro::waitFor(f.service.recordingAudioURL(QStringLiteral("t1")));
        ASSERT_TRUE(url) << body.constData();
        EXPECT_EQ(*url, expected) << body.constData();
    }
    f.sender.reply(404, R"({"error":"No recording with that id."})");
    const auto missing = QCoro::waitFor(f.service.recordingAudioURL(QStringLiteral("t2")));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().errorDescription(), QStringLiteral("No recording with that id."));
}

TEST(AdminDashboardDataTest, TheFirstBadKeyIsNamedWithItsPath)
{
    auto parsed = json::parse(kMinimalDashboard);
    ASSERT_TRUE(parsed);
    const auto minimal = AdminDashboardData::fromJson(*parsed);
    ASSERT_TRUE(minimal) << qPrintable(minimal.error());
    EXPECT_FALSE(minimal->recentRecordings);
    EXPECT_FALSE(minimal->transcriptionQuality);
    EXPECT_FALSE(minimal->coverage);

    json::Json bad = *parsed;
    bad["users"][0]["status"] = "banned";
    EXPECT_EQ(AdminDashboardData::fromJson(bad).error(),
              QStringLiteral("users[0]: key \"status\" has the unknown value \"banned\""));
    bad = *parsed;
    bad["recentRecordings"] = json::Json::array({json::Json{{"id", "r"}}});
    EXPECT_EQ(AdminDashboardData::fromJson(bad).error(), QStringLiteral("recentRecordings[0]: missing key \"user\""));
    bad = *parsed;
    bad.erase("metrics");
    EXPECT_EQ(AdminDashboardData::fromJson(bad).error(), QStringLiteral("missing key \"metrics\""));
}
