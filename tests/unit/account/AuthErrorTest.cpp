#include "account/AuthError.h"

#include <gtest/gtest.h>

using namespace dravelin;

TEST(AuthErrorTest, MappingTableFirstMatchWins)
{
    using K = AuthError::Kind;
    const auto std_ = AuthEndpoint::standard;
    const auto oauth = AuthEndpoint::oauth;
    struct Case
    {
        int status;
        QByteArray body;
        AuthEndpoint endpoint;
        K kind;
        QString message;
    };
    for (const Case &c : std::vector<Case>{
             {400, R"({"error_code":"email_not_confirmed"})", std_, K::emailNotConfirmed, {}},
             {400, R"({"msg":"Email not confirmed"})", oauth, K::emailNotConfirmed, {}},
             {422, R"({"error_code":"email_exists"})", std_, K::emailAlreadyRegistered, {}},
             {422, R"({"msg":"Password should be at least 8 characters"})", std_, K::weakPassword,
              QStringLiteral("Password should be at least 8 characters")},
             {422, R"({"error":"signup_disabled"})", std_, K::signUpsDisabled, {}},
             {403, R"({"error_code":"otp_expired","msg":"x"})", oauth, K::invalidResetCode, {}},
             {429, R"({"msg":"slow down"})", oauth, K::rateLimited, QStringLiteral("slow down")},
             {400, R"({"error_code":"over_email_send_rate_limit","msg":"wait"})", oauth, K::rateLimited,
              QStringLiteral("wait")},
             {400, R"({"error_code":"validation_failed","message":"bad email"})", oauth, K::validationFailed,
              QStringLiteral("bad email")},
             {400, R"({"error_code":"invalid_credentials"})", oauth, K::invalidCredentials, {}},
             {400, R"({"error_code":"refresh_token_not_found","msg":"gone"})", std_, K::invalidCredentials, {}},
             {400, R"({"error_code":"refresh_token_not_found","error_description":"gone"})", oauth, K::validationFailed,
              QStringLiteral("gone")},
             {500, R"({"msg":"boom"})", oauth, K::server, QStringLiteral("boom")},
             {404, "", oauth, K::server, QString()},
             {418, "plain teapot", oauth, K::validationFailed, QStringLiteral("plain teapot")},
         }) {
        const AuthError e = authErrorFor(c.status, c.body, c.endpoint);
        EXPECT_EQ(e.kind, c.kind) << c.body.constData();
        EXPECT_EQ(e.message, c.message) << c.body.constData();
    }
    EXPECT_EQ(authErrorFor(500, R"({"msg":"boom"})", oauth).description(), QStringLiteral("Server error 500: boom"));
    EXPECT_EQ((AuthError{AuthError::Kind::rateLimited, {}, 429}).description(),
              QStringLiteral("Too many attempts. Wait a minute and try again."));
}

TEST(AuthErrorTest, TokenExpiryFromTheJwtPayload)
{
    // {"sub":"u","exp":1800000000} in base64url without padding.
    const QString token = QStringLiteral("eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiJ1IiwiZXhwIjoxODAwMDAwMDAwfQ.sig");
    ASSERT_TRUE(tokenExpiry(token));
    EXPECT_EQ(tokenExpiry(token)->toSecsSinceEpoch(), 1800000000);
    EXPECT_FALSE(tokenExpiry(QStringLiteral("a.b")));
    EXPECT_FALSE(tokenExpiry(QStringLiteral("a.!!!.c")));
    EXPECT_FALSE(tokenExpiry(QStringLiteral("a.eyJzdWIiOiJ1In0.c"))); // no exp
}

TEST(AuthUserTest, FromTheUserResponseAndThroughTheKeychainForm)
{
    const auto response = json::parse(
        R"({"id":"u1","email":"ada@example.com","user_metadata":{"first_name":"Ada","avatar_preset":"fox"},"app_metadata":{"role":"admin"}})");
    const auto user = AuthUser::fromUserResponse(*response);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->firstName, QStringLiteral("Ada"));
    EXPECT_FALSE(user->lastName);
    EXPECT_TRUE(user->isAdmin());
    EXPECT_EQ(AuthUser::fromJson(user->toJson()), user);
    EXPECT_EQ(AuthUser::fromUserResponse(*json::parse(R"({"id":"u2"})"))->email, QString());
    EXPECT_FALSE(AuthUser::fromUserResponse(*json::parse(R"({"email":"x"})")));
}
