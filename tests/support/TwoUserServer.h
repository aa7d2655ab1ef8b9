#pragma once

// A real dravelin-server on a free loopback port with two users signed in
// through the consent page (ada and bob), for tests of per-user ownership
// over HTTP. Link with dravelin_server_lib.

#include "DravelinServer.h"
#include "account/TokenSource.h"
#include "auth/Jwt.h"
#include "core/Json.h"
#include "core/QtScheduler.h"
#include "storage/Storage.h"
#include "support/FixedToken.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"
#include "support/ScratchPostgres.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace dravelin::test {

inline json::Json jsonOf(const HttpResult &r)
{
    auto parsed = json::parse(r.body);
    return parsed ? *parsed : json::Json();
}

class TwoUserServerTest : public ::testing::Test
{
protected:
    struct Account
    {
        QString id;
        QByteArray token;
    };

    void SetUp() override
    {
        server::ServerConfig config;
        config.port = 0;
        config.dataDir = dir.filePath(QStringLiteral("data"));
        ASSERT_TRUE(database.error().isEmpty()) << qPrintable(database.error());
        config.database = database.connection(); // SQLite unless the run provides PostgreSQL
        if (!config.database.isEmpty())
            config.signingKeyFile = ScratchPostgres::writeSigningKey(dir.path());
        configure(config);
        auto created = server::DravelinServer::create(config, scheduler);
        ASSERT_TRUE(created) << qPrintable(created.error());
        server = std::move(created.value());
        ASSERT_TRUE(server->listen());
        base = QStringLiteral("http://127.0.0.1:%1").arg(server->port());
        client = std::make_unique<HttpTestClient>(base);
        ada = signIn(QStringLiteral("ada@example.com"));
        bob = signIn(QStringLiteral("bob@example.com"));
        ASSERT_FALSE(ada.token.isEmpty());
        ASSERT_FALSE(bob.token.isEmpty());
    }

    // Settings a test wants beyond the defaults.
    virtual void configure(server::ServerConfig &) {}

    Account signIn(const QString &email)
    {
        const QByteArray verifier = server::randomToken(48);
        const auto consent = consentInBrowser(*client, server::pkceChallenge(verifier), QStringLiteral("s"),
                                              QStringLiteral("allow"), email);
        const json::Json tokens = jsonOf(exchangeCode(*client, consent.code, verifier));
        const auto user = server->storage().userByEmail(email);
        return {user ? user->id : QString(),
                json::optionalField<QString>(tokens, "access_token").value_or(QString()).toLatin1()};
    }

    QTemporaryDir dir;
    ScratchPostgres database;
    QtScheduler scheduler;
    std::unique_ptr<server::DravelinServer> server;
    QString base;
    std::unique_ptr<HttpTestClient> client;
    Account ada;
    Account bob;
};

} // namespace dravelin::test
