#include "output/ClipboardHistory.h"
#include "audio/Pcm.h"
#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "output/RecordingAudioStore.h"
#include "output/UserDataPaths.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

// Runs SQL on a file directly, the way an older version of the app left it.
void exec(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

int rowCount(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM entries", -1, &stmt, nullptr);
    const int count = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
}

class ClipboardHistoryTest : public ::testing::Test
{
protected:
    template <typename T>
    T finish(QCoro::Task<T> task)
    {
        while (!task.isReady())
            scheduler.runPending();
        return QCoro::waitFor(std::move(task));
    }
    void finish(QCoro::Task<> task)
    {
        while (!task.isReady())
            scheduler.runPending();
    }
    int migrationLogs() const
    {
        return static_cast<int>(logs.messages(QStringLiteral("clipboard-store"))
                                    .filter(QStringLiteral("Migrated clipboard schema"))
                                    .size());
    }

    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(QStringLiteral("settings.json"))};
    VirtualScheduler scheduler;
    QueueFactory queues = test::immediateQueues();
    test::LogCapture logs;
};

TEST_F(ClipboardHistoryTest, AnOlderFileGainsTheLaterColumnsOnceAndSkipsBadRows)
{
    const QString path = dir.filePath(QStringLiteral("clipboard.sqlite"));
    exec(path, "CREATE TABLE entries (id TEXT PRIMARY KEY, text TEXT NOT NULL, created_at REAL NOT NULL, "
               "source_bundle_id TEXT);"
               "INSERT INTO entries VALUES ('6F9619FF-8B86-D011-B42D-00C04FC964FF', 'old text', 1700000000.5, 'xterm');"
               "INSERT INTO entries VALUES ('not-a-uuid', 'broken', 1700000001, NULL);");
    {
        ClipboardStore store(path, scheduler, queues);
        const auto entries = finish(store.loadAll(20));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].text, QStringLiteral("old text"));
        EXPECT_EQ(entries[0].sourceBundleID, QStringLiteral("xterm"));
        EXPECT_FALSE(entries[0].windowName);
        EXPECT_FALSE(entries[0].aiProcessed);
        EXPECT_EQ(entries[0].createdAt.toMSecsSinceEpoch(), 1700000000500);
    }
    EXPECT_EQ(logs.messages(QStringLiteral("clipboard-store")),
              (QStringList{QStringLiteral("Migrated clipboard schema — added column window_name"),
                           QStringLiteral("Migrated clipboard schema — added column ai_processed")}));
    ClipboardStore again(path, scheduler, queues);
    finish(again.loadAll(20));
    EXPECT_EQ(migrationLogs(), 2);
}

TEST_F(ClipboardHistoryTest, KeepsTheNewestTwentyPerUser)
{
    ClipboardHistory history(defaults, scheduler, queues, dir.path());
    finish(history.switchTo(QStringLiteral("user-1")));
    for (int i = 1; i <= 21; ++i) {
        scheduler.advance(std::chrono::seconds(1));
        finish(history.add(QStringLiteral("text %1").arg(i), QStringLiteral("org.example.Editor"),
                           QStringLiteral("Notes"), i % 2 == 0));
    }
    ASSERT_EQ(history.entryCount(), 20);
    EXPECT_EQ(history.latest()->text, QStringLiteral("text 21"));
    EXPECT_EQ(history.entries().back().text, QStringLiteral("text 2"));
    const QString file = UserDataPaths::clipboardDatabase(QStringLiteral("user-1"), dir.path());
    EXPECT_EQ(rowCount(file), 20);

    // Another user has their own file; coming back loads the first one's.
    finish(history.switchTo(QStringLiteral("user-2")));
    EXPECT_EQ(history.entryCount(), 0);
    finish(history.add(QStringLiteral("theirs"), std::nullopt, std::nullopt, false));
    finish(history.switchTo(QStringLiteral("user-1")));
    ASSERT_EQ(history.entryCount(), 20);
    EXPECT_EQ(history.latest()->text, QStringLiteral("text 21"));
    EXPECT_EQ(history.latest()->windowName, QStringLiteral("Notes"));
    EXPECT_FALSE(history.latest()->aiProcessed);
    EXPECT_TRUE(history.entries()[1].aiProcessed);

    finish(history.remove(history.latest()->id));
    EXPECT_EQ(rowCount(file), 19);
    EXPECT_EQ(history.latest()->text, QStringLiteral("text 20"));

    // Signed out: nothing shown, adding drops the entry, clearing touches no file.
    finish(history.switchTo(std::nullopt));
    EXPECT_EQ(history.entryCount(), 0);
    finish(history.add(QStringLiteral("lost"), std::nullopt, std::nullopt, false));
    EXPECT_TRUE(
        logs.has(QStringLiteral("clipboard-history"), QStringLiteral("add() with no attached store — dropping entry")));
    finish(history.clear());
    EXPECT_EQ(rowCount(file), 19);
    EXPECT_TRUE(logs.has(QStringLiteral("clipboard-history"), QStringLiteral("History detached (signed out)")));
}

TEST_F(ClipboardHistoryTest, UserDirectoriesAndAnUnopenableFile)
{
    EXPECT_EQ(UserDataPaths::sanitize(QStringLiteral("a.b/c d-é_1")), QStringLiteral("abcd-é_1"));
    EXPECT_EQ(UserDataPaths::sanitize(QStringLiteral("../..")), QStringLiteral("unknown"));
    const QString own = UserDataPaths::userDirectory(QStringLiteral("!!"), dir.path());
    EXPECT_TRUE(QDir(own).exists());
    // Other accounts cannot look inside.
    EXPECT_EQ(QFile::permissions(own) & (QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther), 0);
    EXPECT_TRUE(
        UserDataPaths::userDirectory(QStringLiteral("!!"), dir.path()).endsWith(QStringLiteral("/users/unknown")));

    // A directory where the file should be: writes are ignored, loads are empty.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    QDir().mkpath(blocked);
    ClipboardStore store(blocked, scheduler, queues);
    auto insert = [](DBHandle &db) {
        db.insert({QUuid::createUuid(), QStringLiteral("x"), QDateTime::currentDateTimeUtc(), {}, {}, false});
    };
    finish(store.write(insert));
    EXPECT_TRUE(finish(store.loadAll(20)).empty());
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("clipboard-store"), QStringLiteral("sqlite3_open failed at ") + blocked));
}

TEST_F(ClipboardHistoryTest, HistoryAndRecordingsAreTheOwnersOnly)
{
    const auto others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    const auto privateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    // A database left readable by an older version is tightened when opened;
    // a new one is created private, and so are its journals.
    const QString user = UserDataPaths::userDirectory(QStringLiteral("u1"), dir.path());
    const QString older = user + QStringLiteral("/clipboard.sqlite");
    QFile loose(older);
    ASSERT_TRUE(loose.open(QIODevice::WriteOnly));
    loose.close();
    ASSERT_TRUE(QFile::setPermissions(older, QFile::permissions(older) | QFile::ReadOther | QFile::ReadGroup));
    const QString fresh = UserDataPaths::clipboardDatabase(QStringLiteral("u2"), dir.path());
    for (const QString &path : {older, fresh}) {
        ClipboardStore store(path, scheduler, queues);
        finish(store.write([](DBHandle &db) {
            db.insert({QUuid::createUuid(), QStringLiteral("x"), QDateTime::currentDateTimeUtc(), {}, {}, false});
        }));
        for (const QString &file : QDir(QFileInfo(path).path()).entryList(QDir::Files))
            EXPECT_EQ(QFile::permissions(QFileInfo(path).path() + u'/' + file) & others, 0) << qPrintable(file);
    }

    // Recordings: the folder and every file in it, the WAV fallback's too.
    const QString recordings = UserDataPaths::recordingsDirectory(QStringLiteral("u1"), dir.path());
    const std::vector<float> tone(16000, 0.25f);
    const auto saved = RecordingAudioStore::write(recordings, QUuid::createUuid(),
                                                  WAVWrapper::wrap(pcm16(tone.data(), tone.size()), 16000));
    ASSERT_TRUE(saved);
    EXPECT_EQ(QFile::permissions(recordings) & (privateFolder | others), privateFolder);
    EXPECT_EQ(QFile::permissions(*saved) & others, 0);

    // Folders made for private data: each missing one 0700, the existing parent left alone.
    const QString nested = dir.filePath(QStringLiteral("open/a/b"));
    QDir().mkpath(dir.filePath(QStringLiteral("open")));
    QFile::setPermissions(dir.filePath(QStringLiteral("open")), privateFolder | QFile::ReadOther | QFile::ExeOther);
    ASSERT_TRUE(UserDataPaths::makePrivateFolder(nested));
    for (const char *name : {"open/a", "open/a/b"})
        EXPECT_EQ(QFile::permissions(dir.filePath(QString::fromLatin1(name))) & others, 0) << name;
    EXPECT_TRUE(QFile::permissions(dir.filePath(QStringLiteral("open"))) & QFile::ReadOther);
}

TEST_F(ClipboardHistoryTest, WorksAcrossARealQueueThread)
{
    ClipboardHistory history(defaults, scheduler, threadQueues(), dir.path());
    auto attach = history.switchTo(QStringLiteral("threaded"));
    while (!attach.isReady())
        scheduler.runPending();
    for (int i = 0; i < 5; ++i) {
        auto add = history.add(QStringLiteral("t%1").arg(i), std::nullopt, std::nullopt, false);
        while (!add.isReady())
            scheduler.runPending();
    }
    EXPECT_EQ(rowCount(UserDataPaths::clipboardDatabase(QStringLiteral("threaded"), dir.path())), 5);
}

} // namespace
