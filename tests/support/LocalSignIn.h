#pragma once

// Signs in to a dravelin-server the way a browser would: authorize page,
// consent form, redirect to the loopback callback, code exchange with the
// PKCE verifier. Shared by the server tests and the server benchmark.

#include "auth/Jwt.h"
#include "core/Json.h"
#include "support/HttpTestClient.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace dravelin::test {

inline const QString kLoopbackRedirect = QStringLiteral("http://127.0.0.1:45821/oauth/callback");
inline const QByteArray kLocalClientId = "dravelin-desktop";

inline QByteArray formEncode(const QList<QPair<QString, QString>> &pairs)
{
    QUrlQuery q;
    for (const auto &[k, v] : pairs)
        q.addQueryItem(k, QString::fromUtf8(QUrl::toPercentEncoding(v)));
    return q.toString(QUrl::FullyEncoded).toUtf8();
}

struct ConsentResult
{
    int pageStatus = 0;
    int redirectStatus = 0;
    QUrl location;
    QString code; // empty when the redirect carried an error
    QString state;
    QString error;
};

// Opens the authorize page for `challenge` and answers the consent form.
inline ConsentResult consentInBrowser(HttpTestClient &client, const QByteArray &challenge, const QString &state,
                                      const QString &decision = QStringLiteral("allow"),
                                      const QString &email = QStringLiteral("ada@example.com"))
{
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_id"), QString::fromLatin1(kLocalClientId));
    q.addQueryItem(QStringLiteral("redirect_uri"), kLoopbackRedirect);
    q.addQueryItem(QStringLiteral("state"), state);
    q.addQueryItem(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    q.addQueryItem(QStringLiteral("scope"), QStringLiteral("email profile"));
    const QString authorize = QStringLiteral("/auth/v1/oauth/authorize?") + q.toString(QUrl::FullyEncoded);
    ConsentResult result;
    const HttpResult page = client.send("GET", authorize);
    result.pageStatus = page.status;
    const QString ticket = QRegularExpression(QStringLiteral("name=\"ticket\" value=\"([^\"]+)\""))
                               .match(QString::fromUtf8(page.body))
                               .captured(1);
    const HttpResult redirect = client.send("POST", authorize,
                                            formEncode({{QStringLiteral("ticket"), ticket},
                                                        {QStringLiteral("email"), email},
                                                        {QStringLiteral("decision"), decision}}),
                                            {{"Content-Type", "application/x-www-form-urlencoded"}});
    result.redirectStatus = redirect.status;
    result.location = QUrl(QString::fromUtf8(redirect.header("Location")));
    const QUrlQuery back(result.location);
    result.code = back.queryItemValue(QStringLiteral("code"));
    result.state = back.queryItemValue(QStringLiteral("state"));
    result.error = back.queryItemValue(QStringLiteral("error"));
    return result;
}

inline HttpResult exchangeCode(HttpTestClient &client, const QString &code, const QByteArray &verifier)
{
    return client.send("POST", QStringLiteral("/auth/v1/oauth/token"),
                       formEncode({{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                                   {QStringLiteral("code"), code},
                                   {QStringLiteral("client_id"), QString::fromLatin1(kLocalClientId)},
                                   {QStringLiteral("redirect_uri"), kLoopbackRedirect},
                                   {QStringLiteral("code_verifier"), QString::fromLatin1(verifier)}}),
                       {{"Content-Type", "application/x-www-form-urlencoded"}});
}

// The app's refresh: the refresh token for a new pair of tokens.
inline HttpResult refreshSession(HttpTestClient &client, const QString &refreshToken)
{
    return client.send("POST", QStringLiteral("/auth/v1/oauth/token"),
                       formEncode({{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                   {QStringLiteral("refresh_token"), refreshToken},
                                   {QStringLiteral("client_id"), QString::fromLatin1(kLocalClientId)}}),
                       {{"Content-Type", "application/x-www-form-urlencoded"}});
}

// Signs in through the consent page and returns the access token; empty
// when any step fails.
inline QString signInForAccessToken(HttpTestClient &client)
{
    const QByteArray verifier = server::randomToken(48);
    const auto consent = consentInBrowser(client, server::pkceChallenge(verifier), QStringLiteral("s"));
    const auto tokens = json::parse(exchangeCode(client, consent.code, verifier).body);
    return tokens ? json::optionalField<QString>(*tokens, "access_token").value_or(QString()) : QString();
}

} // namespace dravelin::test
