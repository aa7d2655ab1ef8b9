// The vocabulary on the app's side: which terms become keyterms, how the
// database's timestamps are read, and how the service keeps its list, the
// local copy and the keyterms in step with the backend.

#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "support/FixedToken.h"
#include "support/ScriptedSender.h"
#include "text/VocabularyService.h"

#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;

namespace {

const QDateTime kBase(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);

VocabularyTerm term(const QString &text, std::optional<QString> replacement = std::nullopt, bool favorite = false,
                    int ageSeconds = 0)
{
    return VocabularyTerm{QUuid::createUuid(), text, std::move(replacement), favorite, kBase.addSecs(-ageSeconds)};
}

QByteArray rowJson(const QUuid &id, const QString &text, bool favorite = false)
{
    return QStringLiteral(R"({"id":"%1","term":"%2","replacement":null,"is_favorite":%3,)"
                          R"("created_at":"2026-03-01T12:00:00.123456+00:00"})")
        .arg(id.toString(QUuid::WithoutBraces), text, favorite ? QStringLiteral("true") : QStringLiteral("false"))
        .toUtf8();
}

TEST(VocabularyKeytermsTest, OrderExpansionDeduplicationAndLimits)
{
    const QStringList keyterms = VocabularyWire::keyterms({
        term(QStringLiteral("api"), std::nullopt, false, 10),
        term(QStringLiteral("API"), std::nullopt, false, 20), // older: sorts first and wins
        term(QStringLiteral("kubectl"), QStringLiteral("  kube control \n")),
        term(QStringLiteral("blank"), QStringLiteral("   ")),
        term(QStringLiteral("  Zeta  "), std::nullopt, true), // favourites first, trimmed
        term(QString(80, u'x')),
        term(QString(81, u'y')),
        term(QStringLiteral("   ")),
    });
    EXPECT_EQ(keyterms, (QStringList{QStringLiteral("Zeta"), QStringLiteral("API"), QStringLiteral("blank"),
                                     QStringLiteral("kubectl -> kube control"), QString(80, u'x')}));

    std::vector<VocabularyTerm> many;
    for (int i = 0; i < 101; ++i)
        many.push_back(term(QStringLiteral("t%1").arg(i, 3, 10, QLatin1Char('0'))));
    const QStringList hundred = VocabularyWire::keyterms(many);
    ASSERT_EQ(hundred.size(), 100);
    EXPECT_EQ(hundred.back(), QStringLiteral("t099"));
}

TEST(VocabularyKeytermsTest, DatabaseTimestampsAndTheLocalJson)
{
    const QDateTime expected(QDate(2026, 3, 1), QTime(12, 0, 5, 123), Qt::UTC);
    EXPECT_EQ(PostgrestTimestamp::parse(QStringLiteral("2026-03-01T12:00:05.123456+00:00")), expected);
    EXPECT_EQ(PostgrestTimestamp::parse(QStringLiteral("2026-03-01T14:00:05.123+02:00")), expected);
    EXPECT_EQ(PostgrestTimestamp::parse(QStringLiteral("2026-03-01T12:00:05Z")), expected.addMSecs(-123));
    EXPECT_FALSE(PostgrestTimestamp::parse(QString()));
    EXPECT_FALSE(PostgrestTimestamp::parse(QStringLiteral("yesterday")));
    EXPECT_FALSE(PostgrestTimestamp::parse(QStringLiteral("2026-03-01T12:00:05.123456")));

    // Seconds since 2001-01-01 UTC; an absent replacement is left out.
    VocabularyTerm t = term(QStringLiteral("x"));
    t.createdAt = QDateTime(QDate(2001, 1, 1), QTime(0, 1, 30, 500), Qt::UTC);
    const json::Json j = t.toJson();
    EXPECT_EQ(j["createdAt"], 90.5);
    EXPECT_FALSE(j.contains("replacement"));
    EXPECT_EQ(VocabularyTerm::fromJson(j), t);
}

class VocabularyServiceTest : public ::testing::Test
{
protected:
    VocabularyRemote remote() { return VocabularyRemote(endpoint, "public-key", tokens, sender, scheduler); }

    void run(QCoro::Task<> task)
    {
        QCoro::waitFor(std::move(task));
        scheduler.runPending();
    }

    QStringList activeKeyterms() const { return defaults.stringArray(kActiveKeytermsKey).value_or(QStringList{}); }

    const QUrl endpoint{QStringLiteral("http://backend.test/rest/v1/vocabulary_terms")};
    VirtualScheduler scheduler{kBase};
    FixedToken tokens;
    test::ScriptedSender sender;
    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(QStringLiteral("settings.json"))};
};

TEST_F(VocabularyServiceTest, CacheFirstThenTheBackendListReplacesIt)
{
    const QString ada = QStringLiteral("ada-id");
    VocabularyLocalStore(defaults).save({term(QStringLiteral("cached"))}, ada);
    const QUuid fresh = QUuid::createUuid();
    sender.hold = true;
    sender.reply(200, '[' + rowJson(fresh, QStringLiteral("fresh")) + ']');
    VocabularyService service(remote(), defaults);

    service.switchTo(ada);
    ASSERT_EQ(service.terms().size(), 1u);
    EXPECT_EQ(activeKeyterms(), QStringList{QStringLiteral("cached")});
    ASSERT_EQ(sender.requests.size(), 1u);
    const HttpRequest &get = sender.requests[0];
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(QUrlQuery(get.url).queryItemValue(QStringLiteral("order")), QStringLiteral("is_favorite.desc,term.asc"));
    EXPECT_EQ(get.header("apikey"), "public-key");
    EXPECT_EQ(get.header("Authorization"), "Bearer token");

    sender.release();
    scheduler.runPending();
    ASSERT_EQ(service.terms().size(), 1u);
    EXPECT_EQ(service.terms()[0].id, fresh);
    EXPECT_EQ(VocabularyLocalStore(defaults).load(ada), service.terms());
    EXPECT_EQ(activeKeyterms(), QStringList{QStringLiteral("fresh")});
    EXPECT_FALSE(service.isLoading());

    // Signing out clears the list and keyterms but keeps Ada's copy.
    service.switchTo(std::nullopt);
    EXPECT_TRUE(service.terms().empty());
    EXPECT_FALSE(defaults.contains(kActiveKeytermsKey));
    EXPECT_EQ(VocabularyLocalStore(defaults).load(ada).size(), 1u);
}

TEST_F(VocabularyServiceTest, ChangesGoToTheBackendFirstAndFailuresLandInLastError)
{
    VocabularyService service(remote(), defaults);
    sender.reply(200, "[]");
    service.switchTo(QStringLiteral("ada-id"));
    scheduler.runPending();

    // Add: the insert body in its key order, the stored row back.
    const QUuid id = QUuid::createUuid();
    sender.reply(201, '[' + rowJson(id, QStringLiteral("kubectl")) + ']');
    run(service.add(QStringLiteral("  kubectl "), QStringLiteral("   ")));
    ASSERT_EQ(sender.requests.size(), 2u) << qPrintable(service.lastError().value_or(QString()));
    const HttpRequest &insert = sender.requests.back();
    EXPECT_EQ(insert.method, "POST");
    EXPECT_EQ(insert.header("Prefer"), "return=representation");
    EXPECT_EQ(insert.body, R"({"user_id":"ada-id","term":"kubectl","is_favorite":false})");
    ASSERT_EQ(service.terms().size(), 1u);
    EXPECT_EQ(activeKeyterms(), QStringList{QStringLiteral("kubectl")});

    // Star it: only is_favorite, the id filter in lower case.
    sender.reply(200, '[' + rowJson(id, QStringLiteral("kubectl"), true) + ']');
    run(service.toggleFavorite(id));
    EXPECT_EQ(sender.requests.back().method, "PATCH");
    EXPECT_EQ(QUrlQuery(sender.requests.back().url).queryItemValue(QStringLiteral("id")),
              QStringLiteral("eq.") + id.toString(QUuid::WithoutBraces));
    EXPECT_EQ(sender.requests.back().body, R"({"is_favorite":true})");
    EXPECT_TRUE(service.terms()[0].isFavorite);

    // Clearing a replacement sends null.
    sender.reply(200, '[' + rowJson(id, QStringLiteral("kubectl"), true) + ']');
    run(service.update(id, QStringLiteral("kubectl"), QStringLiteral("")));
    EXPECT_EQ(sender.requests.back().body, R"({"term":"kubectl","replacement":null})");

    // Refusals: the list stays; the text is shown.
    const auto before = sender.requests.size();
    run(service.add(QStringLiteral("   "), std::nullopt));
    EXPECT_EQ(service.lastError(), QStringLiteral("Type a word to add"));
    EXPECT_EQ(sender.requests.size(), before);
    sender.reply(409, R"({"code":"23505","details":null,"hint":null,"message":"already there"})");
    run(service.add(QStringLiteral("dup"), std::nullopt));
    EXPECT_EQ(service.lastError(), QStringLiteral("Couldn't save that: already there"));
    sender.reply(204, {});
    run(service.add(QStringLiteral("ghost"), std::nullopt));
    EXPECT_EQ(service.lastError(), QStringLiteral("Couldn't read response: insert returned no row"));
    sender.reply(403, {});
    run(service.remove(id));
    EXPECT_EQ(service.lastError(), QStringLiteral("That term belongs to another account"));
    EXPECT_EQ(service.terms().size(), 1u);

    // Deleting the last term removes the keyterms.
    sender.reply(204, {});
    run(service.remove(id));
    EXPECT_TRUE(service.terms().empty());
    EXPECT_FALSE(defaults.contains(kActiveKeytermsKey));

    // No token: nothing is sent.
    tokens.token = QString();
    const auto sent = sender.requests.size();
    run(service.add(QStringLiteral("x"), std::nullopt));
    EXPECT_EQ(service.lastError(), QStringLiteral("Not signed in"));
    EXPECT_EQ(sender.requests.size(), sent);
}

} // namespace
