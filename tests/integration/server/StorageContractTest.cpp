// What the server relies on from its storage, held against each engine:
// SQLite in a temporary directory always, PostgreSQL when
// tests/integration/with-postgres.sh (or $DRAVELIN_TEST_POSTGRES) provides a
// database, each test in a schema of its own.

#include "storage/OpenStorage.h"
#include "storage/PostgresStorage.h"
#include "storage/Storage.h"
#include "support/ScratchPostgres.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

using namespace dravelin;
using namespace dravelin::server;

namespace {

// Both engines' migration lists end at this version.
constexpr int kSchemaVersion = 8;

enum class Engine {
    sqlite,
    postgres
};

void PrintTo(Engine engine, std::ostream *out)
{
    *out << (engine == Engine::sqlite ? "SQLite" : "PostgreSQL");
}

class StorageContractTest : public ::testing::TestWithParam<Engine>
{
protected:
    void SetUp() override
    {
        config.dataDir = dir.path();
        if (GetParam() == Engine::postgres) {
            if (!test::ScratchPostgres::configured())
                GTEST_SKIP() << "DRAVELIN_TEST_POSTGRES is not set: the PostgreSQL cases run inside "
                                "tests/integration/with-postgres.sh (ctest -R storage_contract_postgres)";
            scratch = std::make_unique<test::ScratchPostgres>();
            ASSERT_TRUE(scratch->error().isEmpty()) << qPrintable(scratch->error());
            config.database = scratch->connection();
        }
    }

    // A connection of its own to this test's database, migrated.
    std::unique_ptr<Storage> open()
    {
        auto opened = openStorage(config);
        EXPECT_TRUE(opened) << qPrintable(opened.error());
        return opened ? std::move(opened.value()) : nullptr;
    }

    User user(Storage &storage, const char *email)
    {
        auto created = storage.createUser(QString::fromLatin1(email), 100);
        EXPECT_TRUE(created) << email;
        return created.value_or(User{});
    }

    static TranscriptionRecord transcription(const QString &userId, const char *id, qint64 at, qint64 durationMs,
                                             int words, const char *recordingId = "")
    {
        return TranscriptionRecord{QString::fromLatin1(id),
                                   userId,
                                   at,
                                   durationMs,
                                   words,
                                   QStringLiteral("whisper"),
                                   QStringLiteral("org.example.editor"),
                                   QString::fromLatin1(recordingId)};
    }

    QTemporaryDir dir;
    ServerConfig config;
    std::unique_ptr<test::ScratchPostgres> scratch;
};

TEST_P(StorageContractTest, MigratesOnceWhoeverOpensFirstAndKeepsTheData)
{
    // Two instances starting together: one migrates, the other waits and
    // finds nothing left to do.
    std::unique_ptr<Storage> first;
    std::unique_ptr<Storage> second;
    std::thread other([&] { second = open(); });
    first = open();
    other.join();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->schemaVersion(), kSchemaVersion);
    EXPECT_EQ(second->schemaVersion(), kSchemaVersion);
    const User ada = user(*first, "ada@example.com");
    EXPECT_EQ(second->userById(ada.id)->email, QStringLiteral("ada@example.com"));
    first.reset();
    second.reset();

    const auto reopened = open();
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->schemaVersion(), kSchemaVersion);
    EXPECT_TRUE(reopened->userByEmail(QStringLiteral("ada@example.com")));
}

TEST_P(StorageContractTest, UsersAreOneAccountPerAddressAndKeepTheirProfile)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, " Ada@Example.com ");
    EXPECT_EQ(ada.email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(ada.role, QStringLiteral("authenticated"));
    EXPECT_EQ(storage->userByEmail(QStringLiteral("ADA@example.com"))->id, ada.id);
    EXPECT_FALSE(storage->createUser(QStringLiteral("ada@example.com"), 200)); // the address is taken
    EXPECT_FALSE(storage->userById(QStringLiteral("nobody")));

    ASSERT_TRUE(storage->updateUserMetadata(ada.id, json::Json{{"name", "Ada"}}));
    EXPECT_EQ(storage->userById(ada.id)->userMetadata, (json::Json{{"name", "Ada"}}));
    const auto account = storage->accountById(ada.id); // what a token check reads: no metadata
    ASSERT_TRUE(account);
    EXPECT_EQ(account->email, ada.email);
    EXPECT_EQ(account->userMetadata, json::Json::object());
    EXPECT_FALSE(storage->accountById(QStringLiteral("nobody")));
    EXPECT_TRUE(storage->setUserRole(ada.id, QStringLiteral("admin")));
    EXPECT_TRUE(storage->setUserDisabled(ada.id, 300));
    const auto changed = storage->userById(ada.id);
    EXPECT_EQ(changed->role, QStringLiteral("admin"));
    EXPECT_EQ(changed->disabledAt, 300);
    EXPECT_TRUE(storage->setUserDisabled(ada.id, std::nullopt));
    EXPECT_FALSE(storage->userById(ada.id)->disabledAt);
    EXPECT_FALSE(storage->setUserRole(QStringLiteral("nobody"), QStringLiteral("admin")));
    EXPECT_FALSE(storage->setUserDisabled(QStringLiteral("nobody"), 300));
}

TEST_P(StorageContractTest, CodesAreMarkedUsedAndTokensRotateOnceAndStayRevoked)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, "ada@example.com");
    const User bob = user(*storage, "bob@example.com");

    ASSERT_TRUE(
        storage->saveAuthCode(AuthCode{"c1", ada.id, QStringLiteral("c"), QStringLiteral("r"), "x", 500, false}));
    const auto code = storage->consumeAuthCode("c1");
    ASSERT_TRUE(code && code->has_value());
    EXPECT_EQ((*code)->userId, ada.id);
    EXPECT_EQ((*code)->challenge, QByteArray("x"));
    EXPECT_FALSE((*code)->used);
    EXPECT_TRUE(storage->consumeAuthCode("c1")->value().used); // a replay is visible
    EXPECT_FALSE(storage->consumeAuthCode("c2")->has_value());

    ASSERT_TRUE(storage->saveRefreshToken(RefreshToken{"h1", ada.id, QStringLiteral("c"), 100, std::nullopt}));
    ASSERT_TRUE(storage->saveRefreshToken(RefreshToken{"b1", bob.id, QString(), 100, std::nullopt}));
    EXPECT_TRUE(storage->rotateRefreshToken("h1", RefreshToken{"h2", ada.id, QStringLiteral("c"), 200, {}}, 200));
    EXPECT_EQ(storage->refreshToken("h1")->revokedAt, 200);
    EXPECT_FALSE(storage->refreshToken("h2")->revokedAt);
    EXPECT_EQ(storage->refreshToken("h2")->clientId, QStringLiteral("c"));
    // A token already rotated (here, or by another instance a moment ago)
    // is not rotated again: no second live token comes of it.
    EXPECT_FALSE(storage->rotateRefreshToken("h1", RefreshToken{"h3", ada.id, QStringLiteral("c"), 300, {}}, 300));
    EXPECT_FALSE(storage->refreshToken("h3"));
    EXPECT_EQ(storage->refreshToken("h1")->revokedAt, 200);

    // Reuse detection ends every session of the user, and only theirs.
    EXPECT_TRUE(storage->revokeUserTokens(ada.id, 400));
    EXPECT_EQ(storage->refreshToken("h2")->revokedAt, 400);
    EXPECT_EQ(storage->refreshToken("h1")->revokedAt, 200); // the first revocation stands
    EXPECT_FALSE(storage->refreshToken("b1")->revokedAt);
    EXPECT_TRUE(storage->revokeRefreshToken("b1", 500));
    EXPECT_TRUE(storage->revokeRefreshToken("b1", 600));
    EXPECT_EQ(storage->refreshToken("b1")->revokedAt, 500);

    // Purging drops expired codes and long-revoked tokens, nothing live.
    ASSERT_TRUE(
        storage->saveAuthCode(AuthCode{"c3", ada.id, QStringLiteral("c"), QStringLiteral("r"), "x", 900, false}));
    ASSERT_TRUE(storage->saveRefreshToken(RefreshToken{"h4", ada.id, QStringLiteral("c"), 450, std::nullopt}));
    EXPECT_TRUE(storage->purgeStaleGrants(600, 450));
    EXPECT_FALSE(storage->consumeAuthCode("c1")->has_value());
    EXPECT_TRUE(storage->consumeAuthCode("c3")->has_value());
    EXPECT_FALSE(storage->refreshToken("h1"));
    EXPECT_FALSE(storage->refreshToken("h2"));
    EXPECT_EQ(storage->refreshToken("b1")->revokedAt, 500);
    EXPECT_FALSE(storage->refreshToken("h4")->revokedAt);
}

TEST_P(StorageContractTest, WritesASessionRestsOnSayWhenTheyWereNotStored)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, "ada@example.com");
    ASSERT_TRUE(storage->saveRefreshToken(RefreshToken{"h1", ada.id, QStringLiteral("c"), 100, std::nullopt}));
    ASSERT_TRUE(
        storage->saveAuthCode(AuthCode{"c1", ada.id, QStringLiteral("c"), QStringLiteral("r"), "x", 500, false}));

    storage->setReadOnly(true); // as on a full disk
    EXPECT_FALSE(storage->rotateRefreshToken("h1", RefreshToken{"h2", ada.id, QStringLiteral("c"), 300, {}}, 300));
    EXPECT_FALSE(storage->refreshToken("h1")->revokedAt); // the rotation left nothing half done
    EXPECT_FALSE(storage->refreshToken("h2"));
    EXPECT_FALSE(storage->revokeUserTokens(ada.id, 300));
    EXPECT_FALSE(storage->revokeRefreshToken("h1", 300));
    EXPECT_FALSE(storage->saveRefreshToken(RefreshToken{"h3", ada.id, QStringLiteral("c"), 300, std::nullopt}));
    EXPECT_FALSE(storage->createUser(QStringLiteral("bob@example.com"), 300));
    EXPECT_FALSE(storage->updateUserMetadata(ada.id, json::Json{{"name", "Ada"}}));
    EXPECT_FALSE(
        storage->saveAuthCode(AuthCode{"c2", ada.id, QStringLiteral("c"), QStringLiteral("r"), "x", 500, false}));
    EXPECT_FALSE(storage->consumeAuthCode("c1"));
    EXPECT_TRUE(storage->userById(ada.id)); // reads go on

    storage->setReadOnly(false);
    EXPECT_FALSE(storage->consumeAuthCode("c1")->value().used);
    EXPECT_TRUE(storage->revokeUserTokens(ada.id, 300));
    EXPECT_EQ(storage->refreshToken("h1")->revokedAt, 300);
}

TEST_P(StorageContractTest, VocabularyIsEachUsersOwnAndChangesAllOrNothing)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, "ada@example.com");
    const User bob = user(*storage, "bob@example.com");
    const auto row = [](const QString &id, const User &owner, const char *term, qint64 at) {
        return VocabularyTermRow{id, owner.id, QString::fromLatin1(term), std::nullopt, false, at};
    };
    const QString a1 = QStringLiteral("00000000-0000-4000-8000-00000000000a");
    const QString a2 = QStringLiteral("00000000-0000-4000-8000-00000000000b");
    const QString a3 = QStringLiteral("00000000-0000-4000-8000-00000000000c");
    const QString b1 = QStringLiteral("00000000-0000-4000-8000-0000000000b1");
    // Equal creation times keep the order they were written in.
    ASSERT_EQ(storage->insertVocabularyTerms({row(a2, ada, "Dravelin", 5), row(a1, ada, "Kubernetes", 5)}),
              VocabularyWriteResult::stored);
    ASSERT_EQ(storage->insertVocabularyTerms({row(b1, bob, "PostgreSQL", 1)}), VocabularyWriteResult::stored);
    // An id anyone has taken refuses the whole batch.
    EXPECT_EQ(storage->insertVocabularyTerms({row(a3, ada, "new", 9), row(b1, ada, "stolen", 9)}),
              VocabularyWriteResult::duplicateId);
    EXPECT_EQ(storage->vocabularyTermCount(ada.id), 2);

    auto terms = storage->vocabularyTerms(ada.id);
    ASSERT_EQ(terms.size(), 2u);
    EXPECT_EQ(terms[0].id, a2);
    EXPECT_EQ(terms[1].id, a1);
    EXPECT_EQ(terms[0].createdAtUs, 5);

    // Updates and deletes match the owner as well as the id.
    VocabularyTermRow changed = terms[1];
    changed.replacement = QStringLiteral("K8s");
    changed.isFavorite = true;
    VocabularyTermRow notAdas = row(b1, ada, "hijacked", 1);
    storage->updateVocabularyTerms({changed, notAdas});
    terms = storage->vocabularyTerms(ada.id);
    EXPECT_EQ(terms[1].replacement, QStringLiteral("K8s"));
    EXPECT_TRUE(terms[1].isFavorite);
    EXPECT_FALSE(terms[0].isFavorite);
    EXPECT_EQ(storage->vocabularyTerms(bob.id).at(0).term, QStringLiteral("PostgreSQL"));

    storage->deleteVocabularyTerms(ada.id, {a2, b1});
    EXPECT_EQ(storage->vocabularyTerms(ada.id).size(), 1u);
    EXPECT_EQ(storage->vocabularyTermCount(bob.id), 1);
}

TEST_P(StorageContractTest, TranscriptionsFeedUsageQualityAndRecordings)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, "ada@example.com");
    const User bob = user(*storage, "bob@example.com");
    storage->recordTranscription(transcription(ada.id, "t1", 1000, 4000, 10, "REC-1"));
    storage->recordTranscription(transcription(ada.id, "t2", 2000, 6000, 20, "rec-2"));
    TranscriptionRecord unnamed = transcription(ada.id, "t3", 2000, 1000, 3);
    unnamed.appBundleId.clear();
    storage->recordTranscription(unnamed);
    storage->recordTranscription(transcription(bob.id, "t4", 1500, 9000, 99, "rec-2"));

    EXPECT_EQ(storage->transcriptionCount(ada.id), 3);
    const UsageTotals totals = storage->transcriptionTotals(ada.id);
    EXPECT_EQ(totals.transcriptions, 3);
    EXPECT_EQ(totals.words, 33);
    EXPECT_EQ(totals.durationMs, 11000);
    EXPECT_EQ(storage->transcriptionTotals(QStringLiteral("nobody")).words, 0);
    const auto since = storage->transcriptionsSince(ada.id, 2000);
    ASSERT_EQ(since.size(), 2u);
    EXPECT_EQ(since[0].words, 20);
    EXPECT_EQ(since[0].appBundleId, QStringLiteral("org.example.editor"));
    EXPECT_EQ(since[1].appBundleId, QString());

    // Quality labels find the caller's recording whatever the id's case; an
    // automatic label never replaces an administrator's.
    const QualityLabel autoError{QStringLiteral("error"), QStringLiteral("timeout"), QStringLiteral("auto"), 10};
    EXPECT_EQ(storage->labelTranscriptionQuality(ada.id, QStringLiteral("rec-1"), autoError),
              QualityLabelResult::stored);
    EXPECT_EQ(storage->transcriptionQuality(ada.id, QStringLiteral("Rec-1"))->reason, QStringLiteral("timeout"));
    EXPECT_EQ(storage->labelTranscriptionQuality(ada.id, QStringLiteral("rec-9"), autoError),
              QualityLabelResult::noTranscription);
    const QualityLabel adminSuccess{QStringLiteral("success"), std::nullopt, QStringLiteral("admin"), 20};
    EXPECT_EQ(storage->labelTranscriptionQuality(ada.id, QStringLiteral("rec-2"), adminSuccess),
              QualityLabelResult::stored);
    EXPECT_EQ(storage->labelTranscriptionQuality(ada.id, QStringLiteral("rec-2"), autoError),
              QualityLabelResult::adminOverride);
    EXPECT_EQ(storage->transcriptionQuality(ada.id, QStringLiteral("rec-2"))->source, QStringLiteral("admin"));
    EXPECT_FALSE(storage->transcriptionQuality(bob.id, QStringLiteral("rec-2")));

    EXPECT_TRUE(storage->attachRecordingAudio(ada.id, QStringLiteral("rec-2"), QStringLiteral("ada/rec-2.ogg")));
    EXPECT_FALSE(storage->attachRecordingAudio(ada.id, QStringLiteral("rec-9"), QStringLiteral("x.ogg")));
    EXPECT_EQ(storage->recordingAudioPath(ada.id, QStringLiteral("rec-2")), QStringLiteral("ada/rec-2.ogg"));
    EXPECT_FALSE(storage->recordingAudioPath(bob.id, QStringLiteral("rec-2")));

    storage->recordModelRequest(
        ModelRequestRecord{ada.id, QStringLiteral("rewrite"), 100, 10, 12, 300, QStringLiteral("m")});
    storage->recordModelRequest(
        ModelRequestRecord{ada.id, QStringLiteral("ask"), 100, 10, 12, 300, QStringLiteral("m")});
    EXPECT_EQ(storage->modelRequestCount(ada.id, QStringLiteral("rewrite")), 1);
    EXPECT_EQ(storage->modelRequestCount(bob.id, QStringLiteral("rewrite")), 0);
}

TEST_P(StorageContractTest, AdministratorsSeeEveryAccountAndDeleteOneWithAllItsData)
{
    const auto storage = open();
    ASSERT_TRUE(storage);
    const User ada = user(*storage, "ada@example.com");
    const User bob = user(*storage, "bob@example.com");
    user(*storage, "cy@example.com");
    TranscriptionRecord timed = transcription(ada.id, "t1", 1000, 4000, 10, "rec-1");
    timed.timeToTextMs = 700;
    timed.rawText = QStringLiteral("um hello");
    storage->recordTranscription(timed);
    storage->recordTranscription(transcription(bob.id, "t2", 3000, 0, 5, "rec-2"));
    storage->recordTranscription(transcription(bob.id, "t3", 3000, 2000, 5, "rec-3"));
    ASSERT_TRUE(storage->attachRecordingAudio(bob.id, QStringLiteral("rec-3"), QStringLiteral("bob/rec-3.ogg")));
    ASSERT_TRUE(storage->labelTranscriptionById(
        QStringLiteral("t2"), QualityLabel{QStringLiteral("no_speech"), std::nullopt, QStringLiteral("admin"), 9}));
    EXPECT_FALSE(storage->labelTranscriptionById(QStringLiteral("t9"), QualityLabel{}));

    const AdminSnapshot snapshot = storage->adminSnapshot(2000, 2);
    ASSERT_EQ(snapshot.users.size(), 3u);
    EXPECT_EQ(snapshot.users[0].user.email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(snapshot.users[1].lastActiveAt, 3000);
    EXPECT_EQ(snapshot.users[1].totalUsageMs, 2000);
    EXPECT_EQ(snapshot.users[1].recordings, 2);
    EXPECT_FALSE(snapshot.users[2].lastActiveAt);
    ASSERT_EQ(snapshot.recent.size(), 2u); // the newest, newest first
    EXPECT_EQ(snapshot.recent[0].id, QStringLiteral("t3"));
    EXPECT_TRUE(snapshot.recent[0].hasAudio);
    EXPECT_EQ(snapshot.recent[1].quality->category, QStringLiteral("no_speech"));
    ASSERT_EQ(snapshot.since.size(), 2u);
    EXPECT_EQ(snapshot.since[0].id, QStringLiteral("t2"));
    EXPECT_EQ(snapshot.totalRecordings, 3);
    EXPECT_EQ(snapshot.totalUsageMs, 6000);
    EXPECT_EQ(snapshot.timeToTextSumMs, 700);
    EXPECT_EQ(snapshot.timeToTextSamples, 1);
    EXPECT_EQ(snapshot.unknownDuration, 1);
    EXPECT_EQ(snapshot.qualityCounts.at(QStringLiteral("no_speech")), 1);
    const auto older = storage->adminSnapshot(0, 5).since;
    ASSERT_EQ(older.size(), 3u);
    EXPECT_EQ(older[0].rawText, QStringLiteral("um hello"));
    EXPECT_EQ(older[0].timeToTextMs, 700);

    EXPECT_EQ(storage->transcriptionAudioKey(QStringLiteral("t3")), QStringLiteral("bob/rec-3.ogg"));
    EXPECT_EQ(storage->transcriptionAudioKey(QStringLiteral("t2")), QString());
    EXPECT_FALSE(storage->transcriptionAudioKey(QStringLiteral("t9")));

    ASSERT_TRUE(storage->saveRefreshToken(RefreshToken{"b1", bob.id, QString(), 100, std::nullopt}));
    ASSERT_EQ(
        storage->insertVocabularyTerms({VocabularyTermRow{QStringLiteral("00000000-0000-4000-8000-000000000001"),
                                                          bob.id, QStringLiteral("term"), std::nullopt, false, 1}}),
        VocabularyWriteResult::stored);
    const auto keys = storage->deleteUser(bob.id);
    ASSERT_TRUE(keys);
    EXPECT_EQ(*keys, QStringList{QStringLiteral("bob/rec-3.ogg")});
    EXPECT_FALSE(storage->userById(bob.id));
    EXPECT_EQ(storage->transcriptionCount(bob.id), 0);
    EXPECT_EQ(storage->vocabularyTermCount(bob.id), 0);
    EXPECT_FALSE(storage->refreshToken("b1"));
    EXPECT_EQ(storage->transcriptionCount(ada.id), 1);
    EXPECT_FALSE(storage->deleteUser(bob.id));
}

// A database restart, or a connection the network dropped: the call that
// meets the broken connection fails, the next one connects again, as
// read-only as before.
TEST(PostgresStorageTest, ConnectsAgainAfterLosingItsConnection)
{
    if (!test::ScratchPostgres::configured())
        GTEST_SKIP() << "DRAVELIN_TEST_POSTGRES is not set (tests/integration/with-postgres.sh sets it)";
    test::ScratchPostgres scratch;
    ASSERT_TRUE(scratch.error().isEmpty()) << qPrintable(scratch.error());
    auto storage = PostgresStorage::open(scratch.connection());
    ASSERT_TRUE(storage) << qPrintable(storage.error());
    (*storage)->setReadOnly(true);
    ASSERT_EQ(scratch.execute(QStringLiteral("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity"
                                             " WHERE application_name = 'dravelin-server'")),
              QString());
    EXPECT_FALSE((*storage)->createUser(QStringLiteral("ada@example.com"), 100)); // the connection is gone
    EXPECT_EQ((*storage)->schemaVersion(), kSchemaVersion);                       // connected again
    EXPECT_FALSE((*storage)->createUser(QStringLiteral("ada@example.com"), 100)); // and still read-only
    (*storage)->setReadOnly(false);
    EXPECT_TRUE((*storage)->createUser(QStringLiteral("ada@example.com"), 100));
}

INSTANTIATE_TEST_SUITE_P(Engines, StorageContractTest, ::testing::Values(Engine::sqlite, Engine::postgres),
                         [](const ::testing::TestParamInfo<Engine> &param) {
                             return param.param == Engine::sqlite ? "Sqlite" : "Postgres";
                         });

} // namespace
