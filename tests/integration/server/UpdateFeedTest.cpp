// The update feed over real HTTP: the server's own version by default, a
// configured file as it is on disk at each request, and the app's update
// check reading both.

#include "updates/UpdateFeed.h"
#include "DravelinServer.h"
#include "account/NetworkRequestSender.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "support/HttpTestClient.h"
#include "system/UpdateService.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;

namespace {

class SilentEngine final : public SpeechEngine
{
public:
    QString name() const override { return QStringLiteral("silent"); }
    QCoro::Task<Expected<Recognized, QString>> transcribe(std::vector<float>, RecognitionHints) override
    {
        co_return Recognized{};
    }
    std::unique_ptr<SpeechStream> openStream(RecognitionHints, std::function<void(const QString &)>) override
    {
        return nullptr;
    }
};

} // namespace

TEST(UpdateFeedTest, ServesItsOwnVersionOrTheConfiguredFileAndTheAppReadsIt)
{
    QTemporaryDir dir;
    QtScheduler scheduler;
    const QString feedFile = dir.filePath(QStringLiteral("feed.json"));
    const auto start = [&](const QString &name, const QString &file) -> std::unique_ptr<DravelinServer> {
        ServerConfig config;
        config.port = 0;
        config.dataDir = dir.filePath(name);
        config.llm.provider = QStringLiteral("none");
        config.updates.feedFile = file;
        auto server = DravelinServer::create(config, scheduler, std::make_unique<SilentEngine>());
        if (!server || !(*server)->listen())
            return nullptr;
        return std::move(server.value());
    };
    const auto check = [&](DravelinServer &server) {
        UserDefaults defaults(dir.filePath(QStringLiteral("settings.json")));
        NetworkRequestSender sender;
        UpdateService updates(
            defaults, scheduler, sender,
            UpdateService::feedURLFor(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.port()))));
        updates.checkForUpdates();
        const QDeadlineTimer deadline(10000);
        while (!updates.canCheckForUpdates() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        return std::make_pair(updates.state(), updates.latest());
    };

    // Without a file: this server's version, so an app of the same build is up to date.
    auto own = start(QStringLiteral("own"), QString());
    ASSERT_TRUE(own);
    const auto [ownState, ownLatest] = check(*own);
    EXPECT_EQ(ownState, UpdateState::upToDate);
    EXPECT_EQ(ownLatest ? ownLatest->version : QString(), QStringLiteral(DRAVELIN_VERSION));

    // With one: what the file holds at each request, within the size limit.
    auto configured = start(QStringLiteral("configured"), feedFile);
    ASSERT_TRUE(configured);
    test::HttpTestClient client(QStringLiteral("http://127.0.0.1:%1").arg(configured->port()));
    EXPECT_EQ(client.send("GET", QStringLiteral("/updates/feed.json")).status, 503); // no file yet
    const auto write = [&](const QByteArray &bytes) {
        QFile file(feedFile);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
    const QByteArray feed = R"({"items":[{"version":"99.0","url":"https://example.org/dravelin_99.0_amd64.deb"}]})";
    write(feed);
    const test::HttpResult reply = client.send("GET", QStringLiteral("/updates/feed.json"));
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.body, feed);
    EXPECT_EQ(check(*configured).first, UpdateState::available);
    write(QByteArray(UpdateFeed::kMaxFeedBytes + 1, ' '));
    EXPECT_EQ(client.send("GET", QStringLiteral("/updates/feed.json")).status, 503);
}
