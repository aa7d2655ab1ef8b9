// KeychainStore against a real Secret Service (run inside with-keyring.sh),
// and without any (run with a D-Bus address that leads nowhere).

#include "account/AuthService.h"
#include "account/KeychainStore.h"
#include "core/VirtualScheduler.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

bool expectNoKeyring()
{
    return qEnvironmentVariableIsSet("DRAVELIN_EXPECT_NO_KEYRING");
}

class NoStoreSender final : public AuthRequestSending
{
public:
    QCoro::Task<Expected<HttpReply, SendFailure>> send(HttpRequest) override
    {
        co_return Unexpected(SendFailure{false, QStringLiteral("offline")});
    }
};

TEST(KeychainStoreTest, RoundTripsThroughTheSecretService)
{
    if (expectNoKeyring())
        GTEST_SKIP() << "runs inside with-keyring.sh";
    KeychainStore store;
    const QString key = QStringLiteral("dravelin_test_item");
    EXPECT_FALSE(QCoro::waitFor(store.string(key)));
    EXPECT_EQ(store.health().state, StoreHealth::State::available);

    EXPECT_TRUE(QCoro::waitFor(store.setString(QStringLiteral("first"), key)));
    EXPECT_TRUE(QCoro::waitFor(store.setString(QStringLiteral("zweite Fassung — ✓"), key)));
    // Another store object (as after a restart) sees the latest value.
    KeychainStore other;
    EXPECT_EQ(QCoro::waitFor(other.string(key)), QStringLiteral("zweite Fassung — ✓"));

    // Operations started together finish in the order they were started.
    auto write = store.setString(QStringLiteral("third"), key);
    auto read = store.string(key);
    auto remove = store.remove(key);
    auto readAfter = store.string(key);
    EXPECT_TRUE(QCoro::waitFor(std::move(write)));
    EXPECT_EQ(QCoro::waitFor(std::move(read)), QStringLiteral("third"));
    QCoro::waitFor(std::move(remove));
    EXPECT_FALSE(QCoro::waitFor(std::move(readAfter)));
}

TEST(KeychainStoreTest, ASavedSessionComesBackInTheNextRun)
{
    if (expectNoKeyring())
        GTEST_SKIP() << "runs inside with-keyring.sh";
    KeychainStore store;
    const StoredSession session{
        QStringLiteral("access"), QStringLiteral("refresh"), SessionGrant::oauth,
        AuthUser{QStringLiteral("u1"), QStringLiteral("ada@example.com"), QStringLiteral("Ada"), {}, {}, {}, {}}};
    ASSERT_TRUE(QCoro::waitFor(store.setString(session.encode(), QString::fromLatin1(AuthService::kSessionKey))));

    VirtualScheduler scheduler;
    NoStoreSender sender;
    test::FakeWorkspace workspace;
    AuthService auth({QUrl(QStringLiteral("http://127.0.0.1:9")), "k", QStringLiteral("c"), {}}, sender, store,
                     workspace, scheduler);
    QCoro::waitFor(auth.load());
    EXPECT_TRUE(auth.isSignedIn());
    EXPECT_EQ(auth.user(), session.user);

    QCoro::waitFor(auth.signOut());
    KeychainStore fresh;
    EXPECT_FALSE(QCoro::waitFor(fresh.string(QString::fromLatin1(AuthService::kSessionKey))));
}

TEST(NoSecretServiceTest, WritesFailVisiblyAndNothingGoesToPlainFiles)
{
    if (!expectNoKeyring())
        GTEST_SKIP() << "runs with DRAVELIN_EXPECT_NO_KEYRING set and no session bus";
    test::LogCapture logs;
    KeychainStore store;
    int changes = 0;
    QObject::connect(&store, &KeychainStore::healthChanged, [&] { ++changes; });
    EXPECT_FALSE(QCoro::waitFor(store.setString(QStringLiteral("secret"), QStringLiteral("auth_session_v2"))));
    EXPECT_EQ(store.health().state, StoreHealth::State::unavailable);
    EXPECT_TRUE(store.health().problem.startsWith(QStringLiteral("No secret store (keyring) is available")));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("keychain"),
                               QStringLiteral("Keychain unavailable; sign-in will not be remembered after quitting")));
    EXPECT_FALSE(QCoro::waitFor(store.string(QStringLiteral("auth_session_v2"))));
}

} // namespace
