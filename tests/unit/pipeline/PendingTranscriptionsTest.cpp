#include "pipeline/PendingTranscriptions.h"
#include "core/VirtualScheduler.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

class PendingTest : public ::testing::Test
{
protected:
    PendingTest() : pending(std::make_unique<PendingTranscriptions>(scheduler, dir.path(), immediateQueues())) {}

    template <typename T>
    T run(QCoro::Task<T> task)
    {
        std::optional<T> result;
        auto wrapper = [](QCoro::Task<T> t, std::optional<T> &out) -> QCoro::Task<> {
            out = co_await std::move(t);
        }(std::move(task), result);
        scheduler.runPending();
        EXPECT_TRUE(result.has_value());
        return std::move(*result);
    }
    void run(QCoro::Task<> task)
    {
        bool done = false;
        auto wrapper = [](QCoro::Task<> t, bool &out) -> QCoro::Task<> {
            co_await std::move(t);
            out = true;
        }(std::move(task), done);
        scheduler.runPending();
        EXPECT_TRUE(done);
    }
    PendingItem save(const QByteArray &audio)
    {
        auto saved = run(pending->save(audio, 1500, QStringLiteral("org.example.Editor"), QUuid::createUuid()));
        EXPECT_TRUE(saved.hasValue());
        scheduler.advance(1000ms);
        return saved.valueOr(PendingItem{});
    }
    QString folder() const { return *pending->directory(); }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    std::unique_ptr<PendingTranscriptions> pending;
};

} // namespace

TEST_F(PendingTest, ItemsSurviveOnDiskPerUserWithTheirFailures)
{
    const auto refused = run(pending->save("audio", std::nullopt, std::nullopt, std::nullopt));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), QStringLiteral("No signed-in account to store audio for"));

    run(pending->switchTo(QStringLiteral("user-1")));
    const PendingItem first = save("first audio");
    const PendingItem second = save("second audio");
    run(pending->recordFailure(first.id, QStringLiteral("Network error: offline")));
    run(pending->recordFailure(first.id, QStringLiteral("Unexpected response (502)")));
    EXPECT_EQ(pending->items()[0].attempts, 2);

    // Strays are not items: a sidecar without audio, a broken one, a huge one.
    QFile orphan(QDir(folder()).filePath(QStringLiteral("orphan.json")));
    ASSERT_TRUE(orphan.open(QIODevice::WriteOnly));
    PendingItem stray = first;
    stray.id = QUuid::createUuid();
    orphan.write(PendingTranscriptions::encodeSidecar(stray));
    orphan.close();
    QFile broken(QDir(folder()).filePath(QStringLiteral("broken.json")));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("{\"id\": 12, ");
    broken.close();

    // Signing out empties the list, not the folder; signing back in reads
    // it again, oldest first, with the failures as recorded.
    run(pending->switchTo(std::nullopt));
    EXPECT_TRUE(pending->items().isEmpty());
    pending = std::make_unique<PendingTranscriptions>(scheduler, dir.path(), immediateQueues());
    run(pending->switchTo(QStringLiteral("user-1")));
    ASSERT_EQ(pending->items().size(), 2);
    const PendingItem reread = pending->items()[0];
    EXPECT_EQ(reread.id, first.id);
    EXPECT_EQ(reread.attempts, 2);
    EXPECT_EQ(reread.lastError, QStringLiteral("Unexpected response (502)"));
    EXPECT_EQ(reread.durationMs, 1500);
    EXPECT_EQ(reread.clientRecordingId, first.clientRecordingId);
    EXPECT_EQ(reread.audioBytes, 11);
    EXPECT_EQ(run(pending->audio(reread)), QByteArray("first audio"));
    // Other accounts on the machine cannot read the queue.
    const auto others = QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther;
    for (const QString &path : {folder(), reread.audioPath, reread.sidecarPath})
        EXPECT_EQ(QFile::permissions(path) & others, 0) << qPrintable(path);
    EXPECT_EQ(pending->items()[1].id, second.id);
    EXPECT_TRUE(logs.has(QStringLiteral("pending"), QStringLiteral("Pending refreshed: 2 item(s)")));

    // Another user has a queue of their own.
    run(pending->switchTo(QStringLiteral("user-2")));
    EXPECT_TRUE(pending->items().isEmpty());
    run(pending->switchTo(QStringLiteral("user-1")));
    run(pending->remove(first.id));
    EXPECT_FALSE(QFile::exists(first.audioPath));
    EXPECT_FALSE(QFile::exists(first.sidecarPath));
    ASSERT_EQ(pending->items().size(), 1);
    EXPECT_EQ(pending->items()[0].id, second.id);
}

TEST(PendingSidecar, OnlyAWellFormedSidecarIsAnItem)
{
    EXPECT_TRUE(PendingTranscriptions::decodeSidecar(
        R"({"id":"9B2C1D8E-4F5A-4B6C-8D7E-1F2A3B4C5D6E","createdAt":1.7e9,"attempts":0})"));
    for (const char *json : {
             R"({"id":"not-a-uuid","createdAt":1.7e9,"attempts":0})",
             R"({"id":"9B2C1D8E-4F5A-4B6C-8D7E-1F2A3B4C5D6E","attempts":0})",
             R"({"id":"9B2C1D8E-4F5A-4B6C-8D7E-1F2A3B4C5D6E","createdAt":"yesterday","attempts":0})",
             R"({"id":"9B2C1D8E-4F5A-4B6C-8D7E-1F2A3B4C5D6E","createdAt":1e300,"attempts":0})",
             R"([1,2,3])",
             "",
         })
        EXPECT_FALSE(PendingTranscriptions::decodeSidecar(json)) << json;
}
