#include "account/OAuth.h"
#include "account/AppConstants.h"

#include <QUrlQuery>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace dravelin;

TEST(OAuthSecurityTest, VerifierStateAndTheRfc7636Challenge)
{
    const QString verifier = OAuthSecurity::randomURLSafeString(48);
    EXPECT_EQ(verifier.size(), 64);
    EXPECT_FALSE(verifier.contains(u'=') || verifier.contains(u'+') || verifier.contains(u'/'));
    EXPECT_EQ(OAuthSecurity::randomURLSafeString(32).size(), 43);
    EXPECT_NE(OAuthSecurity::randomURLSafeString(32), OAuthSecurity::randomURLSafeString(32));
    EXPECT_EQ(OAuthSecurity::challenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
              QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
}

TEST(OAuthAuthorizationRequestTest, SevenQueryItemsInOrder)
{
    AppConstants constants;
    const OAuthAuthorizationRequest request{
        QUrl(constants.authBaseURL().toString() + QStringLiteral("oauth/authorize")),
        QStringLiteral("dravelin-desktop"), AppConstants::oauthCallbackURL(), QStringLiteral("st+ate"),
        QStringLiteral("chal")};
    const auto url = request.url();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), QStringLiteral("/auth/v1/oauth/authorize"));
    const auto items = QUrlQuery(*url).queryItems(QUrl::FullyDecoded);
    QStringList keys;
    for (const auto &[k, v] : items)
        keys << k;
    EXPECT_EQ(keys,
              (QStringList{QStringLiteral("response_type"), QStringLiteral("client_id"), QStringLiteral("redirect_uri"),
                           QStringLiteral("state"), QStringLiteral("code_challenge"),
                           QStringLiteral("code_challenge_method"), QStringLiteral("scope")}));
    EXPECT_EQ(items[2].second, QStringLiteral("http://127.0.0.1:45821/oauth/callback"));
    EXPECT_EQ(items[3].second, QStringLiteral("st+ate"));
    EXPECT_EQ(items[6].second, QStringLiteral("email profile"));
    EXPECT_FALSE((OAuthAuthorizationRequest{QUrl(QStringLiteral("relative/path")), {}, {}, {}, {}}.url()));
}

TEST(OAuthFormEncodingTest, SortedByKeyAndPercentEncoded)
{
    EXPECT_EQ(OAuthFormEncoding::encode(
                  {{QStringLiteral("b"), QStringLiteral("2")}, {QStringLiteral("a"), QStringLiteral("1")}}),
              QByteArray("a=1&b=2"));
    EXPECT_EQ(
        OAuthFormEncoding::encode({{QStringLiteral("redirect_uri"), QStringLiteral("http://127.0.0.1:45821/a b")}}),
        QByteArray("redirect_uri=http%3A%2F%2F127.0.0.1%3A45821%2Fa%20b"));
    EXPECT_FALSE(OAuthFormEncoding::encode({}));
}

TEST(OAuthLoopbackParserTest, AcceptsTheCallbackAndSortsOutTheRest)
{
    using Outcome = OAuthLoopbackParser::Outcome;
    const auto ok = OAuthLoopbackParser::parse("GET /oauth/callback?code=a&state=s HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(ok.outcome, Outcome::callback);
    EXPECT_EQ(ok.callback,
              (OAuthLoopbackCallback{QStringLiteral("a"), QStringLiteral("s"), std::nullopt, std::nullopt}));
    const auto empty = OAuthLoopbackParser::parse("GET /oauth/callback?code=&state=s&code=b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(empty.callback.code, QString()); // the first item wins, even empty
    const auto bare = OAuthLoopbackParser::parse("GET /oauth/callback?code&state=s&code=b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bare.callback.code, QStringLiteral("b")); // an item without "=" is no value
    const auto denied = OAuthLoopbackParser::parse(
        "GET /oauth/callback?error=access_denied&error_description=no%20thanks&state=s HTTP/1.1\r\n\r\n");
    EXPECT_EQ(denied.callback.error, QStringLiteral("access_denied"));
    EXPECT_EQ(denied.callback.errorDescription, QStringLiteral("no thanks"));
    EXPECT_EQ(OAuthLoopbackParser::parse("GET /favicon.ico HTTP/1.1\r\n\r\n").outcome, Outcome::notCallback);
    for (const QByteArray &bad :
         {QByteArray("POST /oauth/callback?code=a HTTP/1.1\r\n\r\n"),
          QByteArray("GET //oauth/callback HTTP/1.1\r\n\r\n"), QByteArray("GET /oauth/callback HTTP/2\r\n\r\n"),
          QByteArray("GET /oauth/callback\r\n\r\n"), QByteArray("\xff\xfe GET / HTTP/1.1\r\n\r\n"),
          QByteArray(" GET /oauth/callback?code=a HTTP/1.1\r\n\r\n"),
          QByteArray("GET /oauth/callback?code=a\0 HTTP/1.1\r\n\r\n", 40)})
        EXPECT_EQ(OAuthLoopbackParser::parse(bad).outcome, Outcome::malformed) << bad.constData();
}

TEST(AppConstantsTest, EndpointsFollowTheBaseURL)
{
    AppConstants c;
    c.baseURL = QUrl(QStringLiteral("https://project.example.test"));
    EXPECT_EQ(c.transcribeEndpoint().toString(),
              QStringLiteral("https://project.example.test/functions/v1/transcribe"));
    EXPECT_EQ(c.liveTranscribeEndpoint().toString(), QStringLiteral("wss://project.example.test/transcribe-stream"));
    c.functionsURL = QUrl(QStringLiteral("https://fn.example.test"));
    EXPECT_EQ(c.liveTranscribeEndpoint().toString(), QStringLiteral("wss://fn.example.test/transcribe-stream"));
    qputenv("DRAVELIN_OAUTH_CLIENT_ID", "  spaced-id \n");
    EXPECT_EQ(AppConstants::load().oauthClientID, QStringLiteral("spaced-id"));
    qputenv("DRAVELIN_OAUTH_CLIENT_ID", "   ");
    EXPECT_FALSE(AppConstants::load().oauthClientID);
    qunsetenv("DRAVELIN_OAUTH_CLIENT_ID");
}

TEST(AppConstantsTest, ABackendFileThatCannotBeUsedSendsNothingAnywhere)
{
    QTemporaryDir config;
    const QByteArray before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QDir().mkpath(config.filePath(QStringLiteral("dravelin")));
    const auto withFile = [&](const QByteArray &bytes) {
        QFile file(AppConstants::configFilePath());
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        return AppConstants::load();
    };
    for (const QByteArray &bad : {QByteArray("{\"baseURL\": \"https://my.example"), QByteArray("[1]"),
                                  QByteArray(R"({"baseURL": "not a url"})")}) {
        const AppConstants c = withFile(bad);
        EXPECT_TRUE(c.problem) << bad.constData();
        EXPECT_TRUE(c.baseURL.isEmpty()) << bad.constData();
    }
    const AppConstants good = withFile(R"({"baseURL": "https://my.example.test"})");
    EXPECT_FALSE(good.problem);
    EXPECT_EQ(good.baseURL, QUrl(QStringLiteral("https://my.example.test")));
    qputenv("XDG_CONFIG_HOME", before);
}
