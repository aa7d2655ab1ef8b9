#include "account/AuthService.h"
#include "account/OAuth.h"
#include "core/VirtualScheduler.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"
#include "support/ScriptedSender.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <deque>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

// A JWT whose payload carries only "exp".
QString jwtExpiringAt(const QDateTime &when, const QString &tag = QStringLiteral("t"))
{
    const QByteArray payload =
        QStringLiteral(R"({"exp":%1,"tag":"%2"})").arg(when.toSecsSinceEpoch()).arg(tag).toUtf8();
    return QStringLiteral("eyJhbGciOiJIUzI1NiJ9.") +
           QString::fromLatin1(payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)) +
           QStringLiteral(".sig");
}

QByteArray userJson(const QString &id = QStringLiteral("u1"))
{
    return QStringLiteral(R"({"id":"%1","email":"ada@example.com","user_metadata":{"first_name":"Ada"},)"
                          R"("app_metadata":{"role":"member"}})")
        .arg(id)
        .toUtf8();
}

class AuthServiceTest : public ::testing::Test
{
protected:
    AuthService::Config config()
    {
        return {QUrl(QStringLiteral("http://127.0.0.1:54321")), "anon", QStringLiteral("dravelin-desktop"),
                QUrl(QStringLiteral("http://127.0.0.1:%1/oauth/callback").arg(callbackPort)), 300s};
    }
    std::unique_ptr<AuthService> makeService()
    {
        auto service = std::make_unique<AuthService>(config(), sender, keychain, workspace, scheduler);
        auto load = service->load();
        EXPECT_TRUE(load.isReady());
        return service;
    }
    // Stores a signed-in session whose access token expires `in` from now.
    void storeSession(Millis in, SessionGrant grant = SessionGrant::oauth)
    {
        keychain.items[QStringLiteral("auth_session_v2")] =
            StoredSession{jwtExpiringAt(scheduler.wallNow().addMSecs(in.count())), QStringLiteral("refresh-1"), grant,
                          AuthUser{QStringLiteral("u1"), QStringLiteral("ada@example.com"), {}, {}, {}, {}, {}}}
                .encode();
    }
    QByteArray tokenReply(const QString &tag)
    {
        return QStringLiteral(R"({"access_token":"%1","refresh_token":"refresh-%2"})")
            .arg(jwtExpiringAt(scheduler.wallNow().addSecs(3600), tag), tag)
            .toUtf8();
    }

    // Coroutines of destroyed services end on the scheduler's next turn.
    void TearDown() override { scheduler.runPending(); }

    // Each browser test listens on its own port, so they can run side by side.
    quint16 callbackPort = 45870;
    VirtualScheduler scheduler;
    test::ScriptedSender sender;
    InMemorySessionStore keychain;
    test::FakeWorkspace workspace;
    test::LogCapture logs;
};

TEST_F(AuthServiceTest, LoadsTheCurrentRecordOrMigratesTheOlderLayout)
{
    // A current record with an empty refresh token is ignored; the older
    // one-item-per-field layout is read and moved into the current record.
    keychain.items[QStringLiteral("auth_session_v2")] =
        StoredSession{QStringLiteral("a"), QString(), SessionGrant::oauth, std::nullopt}.encode();
    keychain.items[QStringLiteral("access_token")] = QStringLiteral("old-access");
    keychain.items[QStringLiteral("refresh_token")] = QStringLiteral("old-refresh");
    keychain.items[QStringLiteral("session_grant")] = QStringLiteral("oauth");
    keychain.items[QStringLiteral("user")] = QStringLiteral(R"({"id":"u1","email":"ada@example.com"})");

    auto service = makeService();
    EXPECT_TRUE(service->isSignedIn());
    ASSERT_TRUE(service->user());
    EXPECT_EQ(service->user()->email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(service->sessionGrant(), SessionGrant::oauth);
    EXPECT_EQ(keychain.items.size(), 1u);
    const auto stored = StoredSession::decode(keychain.items[QStringLiteral("auth_session_v2")]);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->accessToken, QStringLiteral("old-access"));
    EXPECT_EQ(stored->refreshToken, QStringLiteral("old-refresh"));
    EXPECT_EQ(stored->user, service->user());

    // Only one token in the old layout: nothing is migrated or deleted.
    keychain.items.clear();
    keychain.items[QStringLiteral("refresh_token")] = QStringLiteral("only-refresh");
    auto second = makeService();
    EXPECT_TRUE(second->isSignedIn());
    EXPECT_FALSE(keychain.items.count(QStringLiteral("auth_session_v2")));
    EXPECT_TRUE(keychain.items.count(QStringLiteral("refresh_token")));
}

TEST_F(AuthServiceTest, ConcurrentCallersShareOneRefreshOnlyInsideTheMargin)
{
    storeSession(301s);
    auto service = makeService();
    auto fresh = service->currentAccessToken();
    ASSERT_TRUE(fresh.isReady());
    EXPECT_TRUE(sender.requests.empty());

    storeSession(299s);
    service = makeService();
    sender.hold = true;
    sender.reply(200, tokenReply(QStringLiteral("new")));
    std::vector<QCoro::Task<std::optional<QString>>> callers;
    for (int i = 0; i < 10; ++i)
        callers.push_back(service->currentAccessToken());
    ASSERT_EQ(sender.requests.size(), 1u);
    const HttpRequest &refresh = sender.requests[0];
    EXPECT_EQ(refresh.url.toString(), QStringLiteral("http://127.0.0.1:54321/auth/v1/oauth/token"));
    EXPECT_EQ(refresh.body, "client_id=dravelin-desktop&grant_type=refresh_token&refresh_token=refresh-1");
    EXPECT_TRUE(refresh.header("apikey").isEmpty());
    for (auto &caller : callers)
        EXPECT_FALSE(caller.isReady());

    sender.release();
    for (auto &caller : callers) {
        ASSERT_TRUE(caller.isReady());
        const auto token = QCoro::waitFor(std::move(caller));
        ASSERT_TRUE(token);
        EXPECT_TRUE(tokenExpiry(*token)->secsTo(scheduler.wallNow()) < -3000);
    }
    EXPECT_EQ(sender.requests.size(), 1u);
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("OAuth token refreshed")));
    // The refreshed pair was saved, and the profile kept.
    const auto stored = StoredSession::decode(keychain.items[QStringLiteral("auth_session_v2")]);
    EXPECT_EQ(stored->refreshToken, QStringLiteral("refresh-new"));
    EXPECT_EQ(stored->user->id, QStringLiteral("u1"));
}

TEST_F(AuthServiceTest, TokensWithoutAReadableExpiryAreUsedAsTheyAre)
{
    keychain.items[QStringLiteral("auth_session_v2")] =
        StoredSession{QStringLiteral("opaque.not-base64!.x"), QStringLiteral("r"), SessionGrant::oauth, std::nullopt}
            .encode();
    auto service = makeService();
    auto token = service->currentAccessToken();
    ASSERT_TRUE(token.isReady());
    EXPECT_EQ(QCoro::waitFor(std::move(token)), QStringLiteral("opaque.not-base64!.x"));
    EXPECT_TRUE(sender.requests.empty());
}

TEST_F(AuthServiceTest, RejectedRefreshSignsOutButAFailedOneKeepsTheSession)
{
    // 500: the session stays, callers get nothing once the token has expired.
    storeSession(-10s);
    auto service = makeService();
    sender.reply(500, R"({"msg":"database down"})");
    auto token = service->currentAccessToken();
    ASSERT_TRUE(token.isReady());
    EXPECT_FALSE(QCoro::waitFor(std::move(token)));
    EXPECT_TRUE(service->isSignedIn());
    EXPECT_TRUE(keychain.items.count(QStringLiteral("auth_session_v2")));
    EXPECT_TRUE(
        logs.has(QStringLiteral("auth"),
                 QStringLiteral("OAuth refresh failed; keeping saved session: Server error 500: database down")));
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Access token is expired and could not be refreshed")));

    // 401: signed out and the keychain emptied.
    sender.reply(401, R"({"error":"invalid_grant"})");
    int userChanges = 0;
    QObject::connect(service.get(), &AuthService::userChanged, [&] { ++userChanges; });
    auto again = service->currentAccessToken();
    ASSERT_TRUE(again.isReady());
    EXPECT_FALSE(service->isSignedIn());
    EXPECT_FALSE(service->user());
    EXPECT_EQ(userChanges, 1);
    EXPECT_TRUE(keychain.items.empty());
    EXPECT_TRUE(
        logs.has(QStringLiteral("auth"), QStringLiteral("OAuth refresh rejected by auth server; clearing session")));
}

TEST_F(AuthServiceTest, PasswordGrantRefreshWithAnUnknownCodeClearsTheSession)
{
    storeSession(10s, SessionGrant::password);
    auto service = makeService();
    sender.reply(400, R"({"error_code":"something_new","msg":"nope"})");
    auto token = service->currentAccessToken();
    ASSERT_TRUE(token.isReady());
    const HttpRequest &request = sender.requests.at(0);
    EXPECT_EQ(request.url.toString(), QStringLiteral("http://127.0.0.1:54321/auth/v1/token?grant_type=refresh_token"));
    EXPECT_EQ(request.body, R"({"refresh_token":"refresh-1"})");
    EXPECT_EQ(request.header("apikey"), "anon");
    EXPECT_FALSE(service->isSignedIn());
    EXPECT_TRUE(keychain.items.empty());
}

TEST_F(AuthServiceTest, RefreshLoopRunsEveryFiftyMinutesUntilSignOut)
{
    storeSession(3600s);
    auto service = makeService();
    sender.reply(200, tokenReply(QStringLiteral("a")));
    scheduler.advance(2999s);
    EXPECT_TRUE(sender.requests.empty());
    scheduler.advance(1s);
    EXPECT_EQ(sender.requests.size(), 1u);

    // Sign-out without a network: the local session is gone all the same.
    auto signOut = service->signOut();
    ASSERT_TRUE(signOut.isReady());
    EXPECT_FALSE(service->isSignedIn());
    EXPECT_TRUE(keychain.items.empty());
    EXPECT_EQ(sender.requests.back().url.path(), QStringLiteral("/auth/v1/logout"));
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Signed out")));
    const auto sent = sender.requests.size();
    scheduler.advance(10000s);
    EXPECT_EQ(sender.requests.size(), sent);
}

TEST_F(AuthServiceTest, ARefreshThatEndsAfterSignOutDoesNotBringTheSessionBack)
{
    storeSession(10s);
    auto service = makeService();
    sender.hold = true;
    sender.reply(200, tokenReply(QStringLiteral("late")));
    auto caller = service->currentAccessToken();
    EXPECT_FALSE(caller.isReady());
    auto signOut = service->signOut();
    // The waiting caller is released by the sign-out with nothing.
    ASSERT_TRUE(caller.isReady());
    EXPECT_FALSE(QCoro::waitFor(std::move(caller)));
    sender.release();
    EXPECT_FALSE(service->isSignedIn());
    EXPECT_TRUE(keychain.items.empty());
}

TEST_F(AuthServiceTest, ProfileUpdatesAndAvatarUpload)
{
    storeSession(3600s);
    auto service = makeService();
    sender.reply(200, userJson());
    auto profile = service->updateProfile(QStringLiteral("Ada"), QStringLiteral("Lovelace"));
    ASSERT_TRUE(profile.isReady());
    EXPECT_TRUE(QCoro::waitFor(std::move(profile)));
    EXPECT_EQ(sender.requests[0].method, "PUT");
    EXPECT_EQ(sender.requests[0].body, R"({"data":{"first_name":"Ada","last_name":"Lovelace"}})");
    EXPECT_TRUE(sender.requests[0].header("Authorization").startsWith("Bearer ey"));
    EXPECT_EQ(service->user()->firstName, QStringLiteral("Ada"));
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Profile updated")));

    sender.reply(403, "not yours");
    auto preset = service->updateAvatarPreset(QStringLiteral("fox"));
    const auto presetResult = QCoro::waitFor(std::move(preset));
    ASSERT_FALSE(presetResult);
    EXPECT_EQ(presetResult.error().description(), QStringLiteral("Server error 403: not yours"));

    // The upload, then one metadata update pointing at the public object.
    sender.requests.clear();
    sender.fail(/*connectionLost=*/true);
    sender.reply(200, "{}");
    sender.reply(200, userJson());
    auto avatar = service->uploadAvatar("JPEG", QStringLiteral("image/jpeg"));
    ASSERT_TRUE(QCoro::waitFor(std::move(avatar)));
    ASSERT_EQ(sender.requests.size(), 3u); // lost connection, its retry, the metadata update
    EXPECT_EQ(sender.requests[1].url.toString(),
              QStringLiteral("http://127.0.0.1:54321/storage/v1/object/avatars/u1/avatar.jpg"));
    EXPECT_EQ(sender.requests[1].header("x-upsert"), "true");
    EXPECT_EQ(sender.requests[1].header("Content-Type"), "image/jpeg");
    const QString expected =
        QStringLiteral(R"({"data":{"avatar_url":"http://127.0.0.1:54321/storage/v1/object/public/avatars/u1/)"
                       R"(avatar.jpg?v=%1","avatar_preset":""}})")
            .arg(scheduler.wallNow().toMSecsSinceEpoch());
    EXPECT_EQ(QString::fromUtf8(sender.requests[2].body), expected);
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Connection lost before send — retrying once")));

    sender.reply(413, "too big");
    const auto tooBig = QCoro::waitFor(service->uploadAvatar("JPEG", QStringLiteral("image/jpeg")));
    ASSERT_FALSE(tooBig);
    EXPECT_EQ(tooBig.error().description(), QStringLiteral("Upload failed (413): too big"));
}

// A keyring that takes writes only once unlocked.
class LockedKeyring final : public AuthSessionStoring
{
public:
    QCoro::Task<std::optional<QString>> string(QString key) override
    {
        const auto it = items.find(key);
        co_return it == items.end() ? std::nullopt : std::optional<QString>(it->second);
    }
    QCoro::Task<bool> setString(QString value, QString key) override
    {
        co_await unlocked.wait();
        items[key] = value;
        co_return true;
    }
    QCoro::Task<> remove(QString) override { co_return; }
    StoreHealth health() const override { return {}; }

    AsyncEvent unlocked;
    std::map<QString, QString> items;
};

TEST_F(AuthServiceTest, AKeychainThatRefusesWritesOrWaitsToBeUnlockedKeepsTheSessionForThisRunAndSaysSo)
{
    storeSession(3600s);
    keychain.failWrites = true;
    auto service = makeService();
    sender.reply(200, userJson());
    auto refresh = service->refreshCurrentUser();
    ASSERT_TRUE(refresh.isReady());
    EXPECT_TRUE(service->isSignedIn());
    EXPECT_FALSE(service->sessionPersisted());
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("auth"),
                               QStringLiteral("Session not saved; you will need to sign in again after quitting")));

    // Locked: the session works while the save waits, and the wait is told
    // once it has lasted a few seconds (not when the keyring answers at once).
    LockedKeyring locked;
    locked.items = keychain.items;
    AuthService waiting(config(), sender, locked, workspace, scheduler);
    QCoro::waitFor(waiting.load());
    int told = 0;
    QObject::connect(&waiting, &AuthService::keyringWaiting, [&told] { ++told; });
    sender.reply(200, userJson());
    auto save = waiting.refreshCurrentUser();
    scheduler.advance(AuthService::kKeyringNotice - 1ms);
    EXPECT_EQ(told, 0);
    EXPECT_TRUE(waiting.isSignedIn());
    scheduler.advance(1ms);
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(save.isReady());
    locked.unlocked.set();
    scheduler.runPending();
    EXPECT_TRUE(save.isReady());
    EXPECT_TRUE(waiting.sessionPersisted());
}

// ---- browser sign-in, with the real loopback listener ----

class BrowserSignInTest : public AuthServiceTest
{
protected:
    // The "browser" answers the redirect with `query` (given the state the
    // app sent) once the app opens the authorize page.
    void browserAnswers(std::function<QString(const QString &state)> query)
    {
        workspace.onOpen = [this, query = std::move(query), port = callbackPort](const QUrl &url) {
            const QString state = QUrlQuery(url).queryItemValue(QStringLiteral("state"));
            auto *socket = new QTcpSocket(&m_sockets);
            QObject::connect(socket, &QTcpSocket::connected, socket, [socket, line = query(state)] {
                socket->write(QStringLiteral("GET /oauth/callback?%1 HTTP/1.1\r\nHost: x\r\n\r\n").arg(line).toUtf8());
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->connectToHost(QHostAddress::LocalHost, port);
        };
    }
    QObject m_sockets;

    Expected<void, AuthError> signIn(AuthService &service) { return QCoro::waitFor(service.signInViaBrowser()); }
};

TEST_F(BrowserSignInTest, ExchangesTheCodeAndAdoptsTheSession)
{
    callbackPort = 45871;
    auto service = makeService();
    browserAnswers([](const QString &state) { return QStringLiteral("code=abc&state=") + state; });
    sender.reply(200, tokenReply(QStringLiteral("signin")));
    sender.reply(200, userJson());
    const auto result = signIn(*service);
    ASSERT_TRUE(result) << qPrintable(result.error().description());
    ASSERT_EQ(workspace.opened.size(), 1);
    const QUrlQuery authorize(workspace.opened[0]);
    EXPECT_EQ(workspace.opened[0].path(), QStringLiteral("/auth/v1/oauth/authorize"));
    const QString body = QString::fromUtf8(sender.requests[0].body);
    EXPECT_TRUE(body.startsWith(QStringLiteral("client_id=dravelin-desktop&code=abc&code_verifier=")));
    EXPECT_TRUE(body.endsWith(QStringLiteral(
        "&grant_type=authorization_code&redirect_uri=http%3A%2F%2F127.0.0.1%3A45871%2Foauth%2Fcallback")));
    const QString verifier = QUrlQuery(body).queryItemValue(QStringLiteral("code_verifier"));
    EXPECT_EQ(authorize.queryItemValue(QStringLiteral("code_challenge")), OAuthSecurity::challenge(verifier));
    EXPECT_EQ(sender.requests[1].url.path(), QStringLiteral("/auth/v1/user"));
    EXPECT_EQ(service->sessionGrant(), SessionGrant::oauth);
    EXPECT_EQ(service->user()->id, QStringLiteral("u1"));
    EXPECT_TRUE(keychain.items.count(QStringLiteral("auth_session_v2")));
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Signed in through system browser")));
}

TEST_F(BrowserSignInTest, CallbackProblemsMapToTheirErrors)
{
    using K = AuthError::Kind;
    struct Case
    {
        std::function<QString(const QString &)> query;
        K kind;
        QString text;
    };
    const std::vector<Case> cases{
        {[](const QString &s) { return QStringLiteral("error=access_denied&state=") + s; }, K::browserLoginCancelled,
         QStringLiteral("Sign-in was cancelled.")},
        {[](const QString &s) { return QStringLiteral("error=server_error&error_description=Down&state=") + s; },
         K::oauth, QStringLiteral("Down")},
        {[](const QString &s) { return QStringLiteral("code=&state=") + s; }, K::oauth,
         QStringLiteral("The browser did not return an authorization code.")},
    };
    callbackPort = 45872;
    auto service = makeService();
    for (const Case &c : cases) {
        browserAnswers(c.query);
        const auto result = signIn(*service);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, c.kind);
        EXPECT_EQ(result.error().description(), c.text);
    }
    EXPECT_TRUE(sender.requests.empty());
    EXPECT_FALSE(service->isSignedIn());
}

TEST_F(BrowserSignInTest, BrowserPortAndConfigurationFailures)
{
    // A block of ports nobody holds right now: these lie in the kernel's
    // ephemeral range, so any client connection may be using one of them.
    callbackPort = 0;
    for (quint16 base = 45930; base < 46930 && callbackPort == 0; base += AuthService::kCallbackPorts) {
        std::vector<std::unique_ptr<QTcpServer>> probes;
        bool free = true;
        for (int i = 0; free && i < AuthService::kCallbackPorts; ++i) {
            probes.push_back(std::make_unique<QTcpServer>());
            free = probes.back()->listen(QHostAddress::LocalHost, static_cast<quint16>(base + i));
        }
        if (free)
            callbackPort = base;
    }
    ASSERT_NE(callbackPort, 0);
    auto service = makeService();
    workspace.canOpen = false;
    auto refused = signIn(*service);
    EXPECT_EQ(refused.error().kind, AuthError::Kind::browserLoginUnavailable);

    // The listener was released, so the port can be taken again; now every
    // port of the range is busy.
    std::vector<std::unique_ptr<QTcpServer>> squatters;
    for (int i = 0; i < AuthService::kCallbackPorts; ++i) {
        squatters.push_back(std::make_unique<QTcpServer>());
        ASSERT_TRUE(squatters.back()->listen(QHostAddress::LocalHost, static_cast<quint16>(callbackPort + i)));
    }
    workspace.canOpen = true;
    auto busy = signIn(*service);
    EXPECT_EQ(busy.error().kind, AuthError::Kind::oauth);
    EXPECT_TRUE(busy.error().description().startsWith(QStringLiteral("Could not start secure sign-in: ")));
    squatters.clear();

    // No answer within the time limit, then an explicit cancel.
    workspace.onOpen = {};
    auto waiting = service->signInViaBrowser();
    scheduler.advance(300s);
    EXPECT_EQ(QCoro::waitFor(std::move(waiting)).error().description(),
              QStringLiteral("Sign-in timed out. Please try again."));
    auto cancelled = service->signInViaBrowser();
    service->cancelSignIn();
    EXPECT_EQ(QCoro::waitFor(std::move(cancelled)).error().kind, AuthError::Kind::browserLoginCancelled);

    AuthService::Config unconfigured = config();
    unconfigured.oauthClientID = QStringLiteral("  ");
    AuthService bare(unconfigured, sender, keychain, workspace, scheduler);
    EXPECT_EQ(QCoro::waitFor(bare.signInViaBrowser()).error().kind, AuthError::Kind::oauthConfiguration);
}

} // namespace
