// The usage and quality functions of dravelin-server over real HTTP, spoken
// to by the app's own clients: labels land only on the caller's recordings,
// and usage is counted from the caller's transcriptions in their time zone.

#include "DravelinServer.h"
#include "account/NetworkRequestSender.h"
#include "auth/Jwt.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "output/TranscriptionQualityReporter.h"
#include "output/UsageService.h"
#include "storage/Storage.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/LogCapture.h"
#include "support/TwoUserServer.h"

#include <QTemporaryDir>
#include <QTimeZone>
#include <QUuid>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::FixedToken;
using dravelin::test::HttpResult;
using dravelin::test::HttpTestClient;
using dravelin::test::jsonOf;
using namespace std::chrono_literals;

namespace {

class UsageAndQualityTest : public test::TwoUserServerTest
{
protected:
    void record(const Account &who, qint64 createdAt, qint64 durationMs, int words, const QString &app = {},
                const QString &recordingId = {})
    {
        server->storage().recordTranscription(TranscriptionRecord{QUuid::createUuid().toString(QUuid::WithoutBraces),
                                                                  who.id, createdAt, durationMs, words,
                                                                  QStringLiteral("whisper"), app, recordingId});
    }

    HttpResult post(const Account &who, const QByteArray &body)
    {
        return client->send("POST", QStringLiteral("/functions/v1/report-transcription-quality"), body,
                            {{"Authorization", "Bearer " + who.token}, {"Content-Type", "application/json"}});
    }

    HttpResult usage(const Account &who, const QString &query)
    {
        return client->send("GET", QStringLiteral("/functions/v1/usage?") + query, {},
                            {{"Authorization", "Bearer " + who.token}});
    }
};

TEST_F(UsageAndQualityTest, QualityLabelsLandOnlyOnTheCallersOwnRecordings)
{
    const QString shared = QUuid::createUuid().toString(QUuid::WithoutBraces); // stored in lower case
    const QString adasOnly = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    record(ada, now, 8000, 2, {}, shared);
    record(bob, now, 8000, 2, {}, shared);
    record(ada, now, 3000, 6, {}, adasOnly);

    // The app's reporter, as Ada.
    logs::Router::install();
    test::LogCapture logs;
    NetworkRequestSender sender;
    FixedToken adaToken(QString::fromLatin1(ada.token));
    FixedToken bobToken(QString::fromLatin1(bob.token));
    const QUrl endpoint(base + QStringLiteral("/functions/v1/report-transcription-quality"));
    TranscriptionQualityReporter asAda(endpoint, adaToken, "dravelin-local-public-key", sender, scheduler, 50ms);
    QCoro::waitFor(asAda.submit({QUuid(shared), AdminTranscriptionQualityCategory::accuracyIssue,
                                 QStringLiteral("partial_transcript"), 8000, QStringLiteral("whisper")},
                                true));
    const auto label = server->storage().transcriptionQuality(ada.id, shared);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->category, QStringLiteral("accuracy_issue"));
    EXPECT_EQ(label->reason, QStringLiteral("partial_transcript"));
    EXPECT_EQ(label->source, QStringLiteral("auto"));
    EXPECT_FALSE(server->storage().transcriptionQuality(bob.id, shared));

    // Bob reporting on Ada's recording finds nothing of his: deferred, tried once more, nothing touched.
    TranscriptionQualityReporter asBob(endpoint, bobToken, "dravelin-local-public-key", sender, scheduler, 50ms);
    QCoro::waitFor(asBob.submit({QUuid(adasOnly), AdminTranscriptionQualityCategory::noSpeech,
                                 QStringLiteral("empty_transcript"), std::nullopt, std::nullopt},
                                true));
    EXPECT_EQ(logs.messages(QStringLiteral("quality")).filter(adasOnly, Qt::CaseInsensitive).size(), 2)
        << logs.messages(QStringLiteral("quality")).join(u'\n').toStdString();
    EXPECT_FALSE(server->storage().transcriptionQuality(ada.id, adasOnly));
    EXPECT_FALSE(server->storage().transcriptionQuality(bob.id, adasOnly));

    // An administrator's label is not replaced by an automatic one.
    server->storage().labelTranscriptionQuality(
        ada.id, shared, QualityLabel{QStringLiteral("success"), std::nullopt, QStringLiteral("admin"), now});
    const QByteArray report = R"({"clientRecordingId":")" + shared.toUpper().toLatin1() + R"(","category":"error"})";
    EXPECT_EQ(jsonOf(post(ada, report)), json::Json({{"ignored", "admin_override"}}));
    EXPECT_EQ(server->storage().transcriptionQuality(ada.id, shared)->category, QStringLiteral("success"));
    EXPECT_EQ(jsonOf(post(bob, report)), json::Json({{"stored", true}})); // Bob's own row with that id
    EXPECT_EQ(server->storage().transcriptionQuality(bob.id, shared)->category, QStringLiteral("error"));

    // Malformed reports are refused with the error envelope.
    const QByteArray id = shared.toLatin1();
    const QList<QByteArray> malformed{
        QByteArray("{\"clientRecordingId\":"),
        QByteArray("[1]"),
        QByteArray(R"({"category":"error"})"),
        QByteArray(R"({"clientRecordingId":"not-a-uuid","category":"error"})"),
        QByteArray(R"({"clientRecordingId":")" + id + R"(","category":"great"})"),
        QByteArray(R"({"clientRecordingId":")" + id + R"(","category":"error","reason":7})")};
    for (const QByteArray &bad : malformed) {
        const HttpResult r = post(ada, bad);
        EXPECT_EQ(r.status, 400) << bad.constData();
        EXPECT_TRUE(jsonOf(r).contains("error")) << bad.constData();
    }
    EXPECT_EQ(post(ada, QByteArray(20000, ' ')).status, 413);
    EXPECT_EQ(post(Account{ada.id, "garbage"}, report).status, 401);
}

TEST_F(UsageAndQualityTest, UsageCountsTheCallersTranscriptionsInTheirTimeZone)
{
    const QTimeZone kolkata("Asia/Kolkata"); // UTC+5:30, no daylight saving
    ASSERT_TRUE(kolkata.isValid());
    const QDate today = QDateTime::currentDateTimeUtc().toTimeZone(kolkata).date();
    const qint64 midnight = QDateTime(today, QTime(0, 0), kolkata).toSecsSinceEpoch();
    const QString editor = QStringLiteral("org.example.Editor");
    record(ada, midnight - 60, 6000, 10, editor);           // 23:59 yesterday in Kolkata
    record(ada, midnight, 3000, 5, editor);                 // 00:00 today
    record(ada, midnight - 40 * 86400 + 43200, 60000, 100); // noon 40 days ago, no application known
    record(ada, midnight - 200 * 86400, 1000, 1);           // before every window
    record(bob, midnight, 5000, 9999, editor);              // someone else's

    const HttpResult reply = usage(ada, QStringLiteral("tz=Asia%2FKolkata&days=90"));
    ASSERT_EQ(reply.status, 200) << reply.body.constData();
    const json::Json stats = jsonOf(reply);
    auto period = [](const json::Json &p) {
        return std::tuple{p["transcriptions"].get<int>(), p["words"].get<int>(), p["seconds"].get<int>()};
    };
    EXPECT_EQ(period(stats["all_time"]), std::tuple(4, 116, 70));
    EXPECT_EQ(stats["all_time"]["estimated_cost_usd"], 0.0);
    EXPECT_EQ(period(stats["periods"]["d7"]), std::tuple(2, 15, 9));
    EXPECT_EQ(period(stats["periods"]["d30"]), std::tuple(2, 15, 9));
    EXPECT_EQ(period(stats["periods"]["d90"]), std::tuple(3, 115, 69));
    // On the first of the month, yesterday evening belongs to the month before.
    EXPECT_EQ(period(stats["month"]), today.day() == 1 ? std::tuple(1, 5, 3) : std::tuple(2, 15, 9));

    const json::Json &daily = stats["daily"];
    ASSERT_EQ(daily.size(), 90u);
    EXPECT_EQ(daily[89]["date"], today.toString(Qt::ISODate).toStdString());
    EXPECT_EQ(daily[0]["date"], today.addDays(-89).toString(Qt::ISODate).toStdString());
    EXPECT_EQ(period(daily[89]), std::tuple(1, 5, 3));
    EXPECT_EQ(period(daily[88]), std::tuple(1, 10, 6));
    EXPECT_EQ(period(daily[49]), std::tuple(1, 100, 60));
    ASSERT_EQ(stats["hourly"].size(), 24u);
    EXPECT_EQ(period(stats["hourly"][0]), std::tuple(1, 5, 3));
    EXPECT_EQ(period(stats["hourly"][23]), std::tuple(1, 10, 6));
    EXPECT_EQ(stats["by_app"], json::Json::parse(R"([{"app_bundle_id":"org.example.Editor","transcriptions":2,)"
                                                 R"("words":15,"seconds":9},{"transcriptions":1,"words":100,)"
                                                 R"("seconds":60}])"));
    EXPECT_EQ(stats["days"], 90);

    // In UTC both late dictations fall on one day, at 18:00.
    const json::Json utc = jsonOf(usage(ada, QStringLiteral("tz=UTC&days=7")));
    ASSERT_EQ(utc["daily"].size(), 7u);
    const std::string utcDay =
        QDateTime::fromSecsSinceEpoch(midnight, QTimeZone::utc()).date().toString(Qt::ISODate).toStdString();
    int onThatDay = -1;
    for (const auto &day : utc["daily"]) {
        if (day["date"] == utcDay)
            onThatDay = day["transcriptions"].get<int>();
    }
    EXPECT_EQ(onThatDay, 2);
    EXPECT_EQ(period(utc["hourly"][18]), std::tuple(2, 15, 9));

    // The app's client reads the server's reply.
    NetworkRequestSender sender;
    FixedToken adaToken(QString::fromLatin1(ada.token));
    UsageService service(QUrl(base + QStringLiteral("/functions/v1/usage")), adaToken, sender, "Asia/Kolkata");
    const auto fetched = QCoro::waitFor(service.fetch());
    ASSERT_TRUE(fetched) << qPrintable(fetched.error());
    EXPECT_EQ(fetched->allTime.words, 116);
    EXPECT_EQ(fetched->days, 90);
    ASSERT_TRUE(fetched->daily);
    EXPECT_EQ(fetched->daily->back().date, today.toString(Qt::ISODate));

    EXPECT_EQ(usage(ada, QStringLiteral("tz=Mars%2FOlympus")).status, 400);
    EXPECT_EQ(usage(ada, QStringLiteral("days=0")).status, 400);
    EXPECT_EQ(usage(Account{ada.id, {}}, {}).status, 401);
}

} // namespace
