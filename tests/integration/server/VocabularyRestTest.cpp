// The vocabulary table of dravelin-server over real HTTP, as two signed-in
// users: each sees and writes only their own rows, filters and ordering
// follow the PostgREST conventions, and refusals carry its error body.

#include "DravelinServer.h"
#include "account/NetworkRequestSender.h"
#include "auth/Jwt.h"
#include "core/QtScheduler.h"
#include "storage/Storage.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/TwoUserServer.h"
#include "text/VocabularyRemote.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::FixedToken;
using dravelin::test::HttpResult;
using dravelin::test::HttpTestClient;
using dravelin::test::jsonOf;

namespace {

const QByteArray kApiKey = "dravelin-local-public-key";
const QString kTable = QStringLiteral("/rest/v1/vocabulary_terms");

std::vector<std::string> terms(const HttpResult &r)
{
    std::vector<std::string> out;
    for (const auto &row : jsonOf(r))
        out.push_back(row.value("term", std::string()));
    return out;
}

class VocabularyRestTest : public test::TwoUserServerTest
{
protected:
    HttpResult rest(const Account &who, const QByteArray &method, const QString &query, const QByteArray &body = {},
                    bool representation = true)
    {
        QList<QPair<QByteArray, QByteArray>> headers{
            {"apikey", kApiKey}, {"Authorization", "Bearer " + who.token}, {"Content-Type", "application/json"}};
        if (representation)
            headers.append(qMakePair(QByteArray("Prefer"), QByteArray("return=representation")));
        return client->send(method, kTable + (query.isEmpty() ? QString() : u'?' + query), body, headers);
    }

    // Inserts one row as `who`; its id.
    QString add(const Account &who, const QString &term, const QString &extra = {})
    {
        const HttpResult r = rest(
            who, "POST", {}, QStringLiteral(R"({"user_id":"%1","term":"%2"%3})").arg(who.id, term, extra).toUtf8());
        EXPECT_EQ(r.status, 201) << r.body.constData();
        return QString::fromStdString(jsonOf(r)[0].value("id", std::string()));
    }
};

TEST_F(VocabularyRestTest, EachUserReadsAndWritesOnlyTheirOwnRows)
{
    const QString kubectl = add(ada, QStringLiteral("kubectl"), QStringLiteral(R"(,"replacement":"kube control")"));
    const QString adaOnly = add(ada, QStringLiteral("Zebra"), QStringLiteral(R"(,"is_favorite":true)"));
    const QString bobs = add(bob, QStringLiteral("Bobcat"));

    // The row as inserted: every column, in the table's order, with a
    // database timestamp (six fractional digits and the offset).
    const HttpResult mine = rest(ada, "GET", QStringLiteral("select=*&order=is_favorite.desc,term.asc"));
    ASSERT_EQ(mine.status, 200) << mine.body.constData();
    EXPECT_EQ(terms(mine), (std::vector<std::string>{"Zebra", "kubectl"}));
    const json::Json row = jsonOf(mine)[1];
    std::vector<std::string> keys;
    for (const auto &[key, value] : row.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "user_id", "term", "replacement", "is_favorite", "created_at"}));
    EXPECT_EQ(row["user_id"], ada.id.toStdString());
    EXPECT_EQ(row["replacement"], "kube control");
    EXPECT_EQ(row["is_favorite"], false);
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00$)"))
                    .match(QString::fromStdString(row["created_at"].get<std::string>()))
                    .hasMatch());

    // Bob sees none of Ada's rows, however he asks.
    EXPECT_EQ(terms(rest(bob, "GET", QStringLiteral("select=*"))), std::vector<std::string>{"Bobcat"});
    EXPECT_EQ(jsonOf(rest(bob, "GET", QStringLiteral("id=eq.") + kubectl)), json::Json::array());
    EXPECT_EQ(jsonOf(rest(bob, "GET", QStringLiteral("user_id=eq.") + ada.id)), json::Json::array());

    // Nor can he change, delete or take them.
    const HttpResult patch = rest(bob, "PATCH", QStringLiteral("id=eq.") + kubectl, R"({"term":"hijacked"})");
    EXPECT_EQ(patch.status, 200);
    EXPECT_EQ(jsonOf(patch), json::Json::array());
    EXPECT_EQ(rest(bob, "DELETE", QStringLiteral("id=eq.") + kubectl, {}, false).status, 204);
    EXPECT_EQ(jsonOf(rest(bob, "DELETE", QStringLiteral("id=in.(%1,%2)").arg(kubectl, adaOnly))), json::Json::array());
    const HttpResult forAda =
        rest(bob, "POST", {}, QStringLiteral(R"({"user_id":"%1","term":"planted"})").arg(ada.id).toUtf8());
    EXPECT_EQ(forAda.status, 403);
    EXPECT_EQ(jsonOf(forAda)["code"], "42501");
    const HttpResult giveAway =
        rest(bob, "PATCH", QStringLiteral("id=eq.") + bobs, QStringLiteral(R"({"user_id":"%1"})").arg(ada.id).toUtf8());
    EXPECT_EQ(giveAway.status, 403);
    const HttpResult sameId =
        rest(bob, "POST", {}, QStringLiteral(R"({"id":"%1","term":"clash"})").arg(kubectl.toUpper()).toUtf8());
    EXPECT_EQ(sameId.status, 409);
    for (const HttpResult &r : {patch, forAda, giveAway, sameId})
        EXPECT_FALSE(r.body.contains("kubectl") || r.body.contains("Zebra")) << r.body.constData();
    EXPECT_EQ(terms(rest(ada, "GET", QStringLiteral("order=term.asc"))),
              (std::vector<std::string>{"Zebra", "kubectl"}));
    EXPECT_EQ(terms(rest(bob, "GET", {})), std::vector<std::string>{"Bobcat"});

    // Ada changes her own: a null replacement clears it; the id in any case.
    const HttpResult cleared = rest(ada, "PATCH", QStringLiteral("id=eq.") + kubectl.toUpper(),
                                    R"({"term":"kubectl","replacement":null,"is_favorite":true})");
    ASSERT_EQ(cleared.status, 200) << cleared.body.constData();
    ASSERT_EQ(jsonOf(cleared).size(), 1u);
    EXPECT_TRUE(jsonOf(cleared)[0]["replacement"].is_null());
    EXPECT_EQ(jsonOf(cleared)[0]["is_favorite"], true);
    EXPECT_EQ(jsonOf(cleared)[0]["created_at"], row["created_at"]);
    EXPECT_EQ(rest(ada, "PATCH", QStringLiteral("id=eq.") + adaOnly, R"({"is_favorite":false})", false).status, 204);
    EXPECT_EQ(terms(rest(ada, "DELETE", QStringLiteral("id=eq.") + adaOnly)), std::vector<std::string>{"Zebra"});
    EXPECT_EQ(terms(rest(ada, "GET", {})), std::vector<std::string>{"kubectl"});
    EXPECT_EQ(terms(rest(bob, "GET", {})), std::vector<std::string>{"Bobcat"});
}

TEST_F(VocabularyRestTest, EveryVerbNeedsTheApiKeyAndAValidToken)
{
    const QString id = add(ada, QStringLiteral("kept"));
    for (const QByteArray method : {"GET", "POST", "PATCH", "DELETE"}) {
        const QByteArray body = method == "GET" || method == "DELETE" ? QByteArray() : R"({"term":"x"})";
        const QString query = QStringLiteral("id=eq.") + id;
        const HttpResult noKey =
            client->send(method, kTable + u'?' + query, body, {{"Authorization", "Bearer " + ada.token}});
        EXPECT_EQ(noKey.status, 401) << method.constData();
        EXPECT_EQ(jsonOf(noKey)["message"], "No API key found in request");
        const HttpResult wrongKey = client->send(method, kTable + u'?' + query, body,
                                                 {{"apikey", "nope"}, {"Authorization", "Bearer " + ada.token}});
        EXPECT_EQ(wrongKey.status, 401) << method.constData();
        const HttpResult badToken = rest(Account{ada.id, "garbage"}, method, query, body);
        EXPECT_EQ(badToken.status, 401) << method.constData();
        EXPECT_EQ(jsonOf(badToken)["code"], "PGRST301");
        EXPECT_FALSE(badToken.body.contains("kept"));
    }
    EXPECT_EQ(terms(rest(ada, "GET", {})), std::vector<std::string>{"kept"});
}

TEST_F(VocabularyRestTest, FiltersOrderingAndRefusals)
{
    const QString apple = add(ada, QStringLiteral("apple"));
    add(ada, QStringLiteral("Banana"), QStringLiteral(R"(,"replacement":"banana split","is_favorite":true)"));
    add(ada, QStringLiteral("cherry"), QStringLiteral(R"(,"replacement":"cherry pie")"));
    add(ada, QStringLiteral("date"), QStringLiteral(R"(,"is_favorite":true)"));

    auto ask = [&](const QString &query) { return terms(rest(ada, "GET", query)); };
    using Terms = std::vector<std::string>;
    EXPECT_EQ(ask(QStringLiteral("order=is_favorite.desc,term.asc")), (Terms{"Banana", "date", "apple", "cherry"}));
    EXPECT_EQ(ask(QStringLiteral("order=term.desc")), (Terms{"date", "cherry", "apple", "Banana"}));
    EXPECT_EQ(ask(QStringLiteral("order=replacement.asc")), (Terms{"Banana", "cherry", "apple", "date"}));
    EXPECT_EQ(ask(QStringLiteral("order=replacement.desc,term.asc")), (Terms{"apple", "date", "cherry", "Banana"}));
    EXPECT_EQ(ask(QStringLiteral("order=replacement.asc.nullsfirst,term.desc")),
              (Terms{"date", "apple", "Banana", "cherry"}));
    EXPECT_EQ(ask(QStringLiteral("replacement=is.null&order=term")), (Terms{"apple", "date"}));
    EXPECT_EQ(ask(QStringLiteral("replacement=not.is.null&order=term")), (Terms{"Banana", "cherry"}));
    EXPECT_EQ(ask(QStringLiteral("is_favorite=eq.true&term=neq.date")), Terms{"Banana"});
    EXPECT_EQ(ask(QStringLiteral("term=in.(apple,%22date%22,fig)&order=term.desc")), (Terms{"date", "apple"}));
    EXPECT_EQ(ask(QStringLiteral("replacement=eq.cherry%20pie")), Terms{"cherry"});
    EXPECT_EQ(ask(QStringLiteral("order=term.asc&limit=2&offset=1")), (Terms{"apple", "cherry"}));
    EXPECT_EQ(jsonOf(rest(ada, "GET", QStringLiteral("select=term,id&id=eq.") + apple)),
              json::Json::parse(QStringLiteral(R"([{"term":"apple","id":"%1"}])").arg(apple).toStdString()));

    // Refusals, with the PostgREST code.
    const std::vector<std::tuple<QByteArray, QString, QByteArray, int, std::string>> refusals{
        {"GET", QStringLiteral("colour=eq.red"), {}, 400, "42703"},
        {"GET", QStringLiteral("order=colour.asc"), {}, 400, "42703"},
        {"GET", QStringLiteral("order=term.sideways"), {}, 400, "PGRST100"},
        {"GET", QStringLiteral("select=term,secret"), {}, 400, "42703"},
        {"GET", QStringLiteral("id=eq.not-a-uuid"), {}, 400, "22P02"},
        {"GET", QStringLiteral("is_favorite=eq.maybe"), {}, 400, "22P02"},
        {"GET", QStringLiteral("term=like.a*"), {}, 400, "PGRST100"},
        {"GET", QStringLiteral("limit=-1"), {}, 400, "PGRST100"},
        {"POST", {}, R"({"term":)", 400, "PGRST102"},
        {"POST", {}, R"({"replacement":"no term"})", 400, "23502"},
        {"POST", {}, R"({"term":"   "})", 400, "23514"},
        {"POST", {}, R"({"term":"x","colour":"red"})", 400, "PGRST204"},
        {"POST", {}, R"({"term":"x","is_favorite":"yes"})", 400, "22P02"},
        {"POST", {}, R"([{"term":"ok"},7])", 400, "PGRST102"},
        {"POST", {}, QByteArray(300 * 1024, ' '), 413, "PGRST413"},
        {"PATCH", {}, R"({"term":"everything"})", 400, "21000"},
        {"PATCH", QStringLiteral("id=eq.") + apple, R"({"id":"00000000-0000-4000-8000-000000000000"})", 400, "42501"},
        {"PATCH", QStringLiteral("id=eq.") + apple, R"({"term":null})", 400, "23502"},
        {"DELETE", {}, {}, 400, "21000"},
    };
    for (const auto &[method, query, body, status, code] : refusals) {
        const HttpResult r = rest(ada, method, query, body);
        EXPECT_EQ(r.status, status) << method.constData() << ' ' << qPrintable(query) << ' ' << body.left(80).data();
        const json::Json error = jsonOf(r);
        EXPECT_EQ(error.value("code", std::string()), code) << r.body.constData();
        EXPECT_TRUE(error.contains("message") && error.contains("details") && error.contains("hint"));
    }
    // Nothing of the refused requests landed; a bulk insert without a
    // representation answers 201 with no body.
    EXPECT_EQ(ask(QStringLiteral("order=term")), (Terms{"Banana", "apple", "cherry", "date"}));
    const HttpResult bulk = rest(ada, "POST", {}, R"([{"term":"fig"},{"term":"grape"}])", false);
    EXPECT_EQ(bulk.status, 201);
    EXPECT_TRUE(bulk.body.isEmpty());
    EXPECT_EQ(ask(QStringLiteral("term=in.(fig,grape)")), (Terms{"fig", "grape"}));
}

TEST_F(VocabularyRestTest, TheAppsClientRoundTripsItsRows)
{
    NetworkRequestSender sender;
    FixedToken adaToken(QString::fromLatin1(ada.token));
    FixedToken bobToken(QString::fromLatin1(bob.token));
    const QUrl endpoint(QStringLiteral("http://127.0.0.1:%1").arg(server->port()) + kTable);
    const VocabularyRemote asAda(endpoint, kApiKey, adaToken, sender, scheduler);
    const VocabularyRemote asBob(endpoint, kApiKey, bobToken, sender, scheduler);

    const auto inserted = QCoro::waitFor(asAda.insert(ada.id, QStringLiteral("kubectl"), std::nullopt, false));
    ASSERT_TRUE(inserted && *inserted) << qPrintable(inserted ? QString() : inserted.error().description());
    const VocabularyTerm row = **inserted;
    EXPECT_LE(qAbs(row.createdAt.secsTo(QDateTime::currentDateTimeUtc())), 5); // the server's time, parsed

    VocabularyUpdate star{std::nullopt, std::optional<std::optional<QString>>(QStringLiteral("kube control")), true};
    const auto updated = QCoro::waitFor(asAda.update(row.id, star));
    ASSERT_TRUE(updated && *updated);
    EXPECT_TRUE((*updated)->isFavorite);
    EXPECT_EQ((*updated)->expansion(), QStringLiteral("kube control"));
    EXPECT_EQ((*updated)->createdAt, row.createdAt);

    // Bob's client matches no row of Ada's: no update comes back, a delete changes nothing.
    const auto foreign = QCoro::waitFor(asBob.update(row.id, star));
    ASSERT_TRUE(foreign);
    EXPECT_FALSE(*foreign);
    EXPECT_TRUE(QCoro::waitFor(asBob.remove(row.id)));
    const auto bobs = QCoro::waitFor(asBob.insert(ada.id, QStringLiteral("planted"), std::nullopt, false));
    ASSERT_FALSE(bobs);
    EXPECT_EQ(bobs.error().kind, VocabularyError::Kind::forbidden);

    const auto all = QCoro::waitFor(asAda.fetchAll());
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ(all->front(), **updated);
    EXPECT_TRUE(QCoro::waitFor(asAda.remove(row.id)));
    EXPECT_TRUE(QCoro::waitFor(asAda.fetchAll())->empty());
}

} // namespace
