// The administrators' function of dravelin-server over real HTTP, through the
// app's own client: who may call it, the figures it counts, and that its
// actions take effect on the accounts and recordings themselves.

#include "account/AdminService.h"
#include "account/NetworkRequestSender.h"
#include "storage/Storage.h"
#include "support/TwoUserServer.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::FixedToken;
using dravelin::test::HttpResult;

namespace {

class AdminTest : public test::TwoUserServerTest
{
protected:
    void SetUp() override
    {
        TwoUserServerTest::SetUp();
        endpoint = QUrl(base + QStringLiteral("/functions/v1/admin-dashboard"));
    }

    // A dictation of `who`, `ago` seconds back.
    TranscriptionRecord record(const Account &who, qint64 ago, qint64 durationMs, std::optional<qint64> timeToTextMs)
    {
        TranscriptionRecord r{QUuid::createUuid().toString(QUuid::WithoutBraces),
                              who.id,
                              QDateTime::currentSecsSinceEpoch() - ago,
                              durationMs,
                              3,
                              QStringLiteral("whisper"),
                              {},
                              QUuid::createUuid().toString(QUuid::WithoutBraces),
                              timeToTextMs};
        server->storage().recordTranscription(r);
        return r;
    }

    HttpResult usageAs(const Account &who)
    {
        return client->send("GET", QStringLiteral("/functions/v1/usage"), {},
                            {{"Authorization", "Bearer " + who.token}});
    }

    QUrl endpoint;
    NetworkRequestSender sender;
};

const AdminDashboardData::User *userByEmail(const AdminDashboardData &data, const QString &email)
{
    for (const auto &user : data.users) {
        if (user.email == email)
            return &user;
    }
    return nullptr;
}

} // namespace

TEST_F(AdminTest, OnlyAnAdministratorGetsTheDashboardAndItCountsWhatIsStored)
{
    FixedToken adaToken(QString::fromLatin1(ada.token));
    AdminService service(endpoint, adaToken, sender, "dravelin-local-public-key");
    QCoro::waitFor(service.refresh());
    EXPECT_FALSE(service.data());
    EXPECT_EQ(service.errorMessage(), QStringLiteral("Administrator access is required."));

    ASSERT_TRUE(server->storage().setUserRole(ada.id, QStringLiteral("admin")));
    record(ada, 60, 4000, 200);
    record(ada, 120, 6000, 400);
    const QString old = record(bob, 40 * 86400, 2000, std::nullopt).id; // outside the 30 days of the series
    ASSERT_TRUE(server->storage().labelTranscriptionById(
        old, QualityLabel{QStringLiteral("no_speech"), std::nullopt, QStringLiteral("admin"), 1}));

    QCoro::waitFor(service.refresh());
    ASSERT_TRUE(service.data()) << qPrintable(service.errorMessage().value_or(QString()));
    const AdminDashboardData &data = *service.data();
    EXPECT_EQ(data.metrics.totalUsers, 2);
    EXPECT_EQ(data.metrics.activeUsers, 1); // Bob's only dictation is 40 days old
    EXPECT_EQ(data.metrics.newToday, 2);
    EXPECT_EQ(data.metrics.totalRecordings, 3);
    EXPECT_EQ(data.metrics.totalUsageMs, 12000);
    EXPECT_EQ(data.metrics.averageUsageMs, 6000);
    EXPECT_EQ(data.metrics.averageTimeToTextMs, 300);
    EXPECT_EQ(data.metrics.timeToTextSamples, 2);
    ASSERT_EQ(data.usageSeries.size(), 30);
    qint64 seriesRecordings = 0;
    for (const auto &point : data.usageSeries)
        seriesRecordings += point.recordings;
    EXPECT_EQ(seriesRecordings, 2);

    const auto *adaRow = userByEmail(data, QStringLiteral("ada@example.com"));
    const auto *bobRow = userByEmail(data, QStringLiteral("bob@example.com"));
    ASSERT_TRUE(adaRow && bobRow);
    EXPECT_TRUE(adaRow->isAdmin);
    EXPECT_EQ(adaRow->recordings, 2);
    EXPECT_EQ(bobRow->status, AdminUserStatus::inactive);
    ASSERT_EQ(data.admins.size(), 1);
    EXPECT_EQ(data.admins[0].id, ada.id);

    ASSERT_TRUE(data.recentRecordings);
    ASSERT_EQ(data.recentRecordings->size(), 3);
    EXPECT_EQ(data.recentRecordings->at(0).realtimeFactor, 0.05); // 200 ms for 4 s, the newest
    EXPECT_EQ(data.recentRecordings->at(2).qualitySource, AdminTranscriptionQualitySource::admin);
    EXPECT_FALSE(data.recentRecordings->at(0).rawText); // texts are kept only with the recordings
    ASSERT_TRUE(data.transcriptionQuality);
    EXPECT_EQ(data.transcriptionQuality->noSpeechCount, 1);
    EXPECT_EQ(data.transcriptionQuality->noSpeechRate, 100);
    ASSERT_TRUE(data.coverage);
    EXPECT_EQ(data.coverage->recordingsWithoutTimeToText, 1);
    EXPECT_FALSE(data.coverage->transcriptionsTruncated);
}

TEST_F(AdminTest, ActionsTakeEffectOnTheAccountsAndRecordingsThemselves)
{
    ASSERT_TRUE(server->storage().setUserRole(ada.id, QStringLiteral("admin")));
    FixedToken adaToken(QString::fromLatin1(ada.token));
    AdminService service(endpoint, adaToken, sender, "dravelin-local-public-key");

    // Disabled: Bob's access token is refused at once; enabled again, it works.
    ASSERT_EQ(usageAs(bob).status, 200);
    EXPECT_TRUE(QCoro::waitFor(service.mutate(bob.id, AdminRequest::setUserEnabled(bob.id, false))));
    EXPECT_EQ(usageAs(bob).status, 401);
    ASSERT_TRUE(service.data());
    EXPECT_EQ(userByEmail(*service.data(), QStringLiteral("bob@example.com"))->status, AdminUserStatus::disabled);
    EXPECT_TRUE(QCoro::waitFor(service.mutate(bob.id, AdminRequest::setUserEnabled(bob.id, true))));
    EXPECT_EQ(usageAs(bob).status, 200);

    // An administrator's label, and a link to the recording's audio that plays.
    const TranscriptionRecord withAudio = record(bob, 10, 3000, 100);
    const TranscriptionRecord withoutAudio = record(bob, 5, 3000, 100);
    const QString key = bob.id + QStringLiteral("/clip.m4a");
    const QString file = dir.filePath(QStringLiteral("data/recordings/")) + key;
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile audio(file);
    ASSERT_TRUE(audio.open(QIODevice::WriteOnly));
    audio.write("....ftypM4A audio");
    audio.close();
    ASSERT_TRUE(server->storage().attachRecordingAudio(bob.id, withAudio.clientRecordingId, key));

    EXPECT_TRUE(QCoro::waitFor(service.mutate(
        withAudio.id,
        AdminRequest::setRecordingQuality(withAudio.id, AdminTranscriptionQualityCategory::accuracyIssue))));
    const auto label = server->storage().transcriptionQuality(bob.id, withAudio.clientRecordingId);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->source, QStringLiteral("admin"));
    EXPECT_FALSE(QCoro::waitFor(service.mutate(
        QStringLiteral("nobody"),
        AdminRequest::setRecordingQuality(QStringLiteral("nobody"), AdminTranscriptionQualityCategory::error))));
    EXPECT_EQ(service.errorMessage(), QStringLiteral("No recording with that id."));

    const auto link = QCoro::waitFor(service.recordingAudioURL(withAudio.id));
    ASSERT_TRUE(link && *link);
    const HttpResult played = client->send("GET", (*link)->path() + u'?' + (*link)->query());
    EXPECT_EQ(played.status, 200);
    EXPECT_EQ(played.body, "....ftypM4A audio");
    EXPECT_EQ(client->send("GET", (*link)->path() + QStringLiteral("?token=forged")).status, 403);
    const auto none = QCoro::waitFor(service.recordingAudioURL(withoutAudio.id));
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);

    // Deleting Bob takes his rows, sessions and files; Ada cannot delete herself.
    EXPECT_FALSE(QCoro::waitFor(service.mutate(ada.id, AdminRequest::deleteUser(ada.id))));
    EXPECT_EQ(service.errorMessage(), QStringLiteral("You cannot delete your own account."));
    EXPECT_TRUE(QCoro::waitFor(service.mutate(bob.id, AdminRequest::deleteUser(bob.id))));
    EXPECT_FALSE(server->storage().userById(bob.id));
    EXPECT_EQ(server->storage().transcriptionCount(bob.id), 0);
    EXPECT_EQ(usageAs(bob).status, 401);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(service.data()->users.size(), 1);
}
