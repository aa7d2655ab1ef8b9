#pragma once

#include "ServerConfig.h"
#include "core/Scheduler.h"
#include "http/Router.h"
#include "storage/Storage.h"

#include <map>

namespace dravelin::server {

// The authentication service under /auth/v1: browser sign-in with an
// authorization code and PKCE (S256) through a local consent page, token
// refresh with rotation, the current user, and sign-out. Errors use the
// auth error body ({"error", "error_description", "error_code", "msg"}).
class AuthRoutes
{
public:
    // A user's metadata, encoded, is at most this long.
    static constexpr qsizetype kMaxUserMetadataBytes = 16 * 1024;
    // Browser sign-ins under way at once; more are refused until some end.
    static constexpr std::size_t kMaxConsentTickets = 64;
    // Expired codes and long-revoked refresh tokens are deleted this often.
    static constexpr Millis kPurgeInterval{3600 * 1000};
    // A revoked refresh token is kept this long so that replaying it still
    // ends the sessions of its family.
    static constexpr qint64 kRevokedTokenSeconds = 30 * 24 * 3600;

    AuthRoutes(const ServerConfig &config, Storage &storage, Scheduler &scheduler);
    ~AuthRoutes();

    void install(Router &router);

    // The user of a valid access token, or why it was refused.
    Expected<User, QString> authenticate(const HttpRequest &request);
    // The same for the functions and REST paths: the refusal is their 401
    // answer, "Unauthorized: <why>" in the error envelope.
    Expected<User, HttpResponse> requireUser(const HttpRequest &request);
    // requireUser as a route's head check: uploads without a valid token are
    // refused before their body is read.
    Router::HeadCheck bearerCheck();

    // Issues a session (access and refresh token) for a user.
    // A new session for `user`, replacing the refresh token `replacing` when
    // given (rotation); none when it could not be stored.
    std::optional<json::Json> issueSession(const User &user, const QString &clientId,
                                           const std::optional<QByteArray> &replacing = std::nullopt);

    static json::Json userJson(const User &user);

    // The REST gateway's answer to a request without the public API key, or
    // nothing when the key is there.
    std::optional<HttpResponse> refuseWithoutApiKey(const HttpRequest &request) const;

private:
    struct ConsentTicket
    {
        QString clientId;
        QString redirectUri;
        QString state;
        QByteArray challenge;
        qint64 expiresAt = 0;
    };

    HttpResponse authorizePage(const HttpRequest &request);
    HttpResponse authorizeDecision(const HttpRequest &request);
    HttpResponse oauthToken(const HttpRequest &request);
    HttpResponse jsonRefresh(const HttpRequest &request);
    HttpResponse currentUser(const HttpRequest &request);
    HttpResponse updateUser(const HttpRequest &request);
    HttpResponse logout(const HttpRequest &request);

    HttpResponse refreshWith(const QByteArray &refreshToken, const QString &clientId, bool includeUser);
    bool apiKeyOk(const HttpRequest &request) const;
    qint64 now() const;
    void schedulePurge();
    void purge();

    const ServerConfig &m_config;
    Storage &m_storage;
    Scheduler &m_scheduler;
    std::map<QByteArray, ConsentTicket> m_tickets;
    Scheduler::WakeId m_purgeWake = 0;
};

// The auth error body with a status.
HttpResponse authError(int status, const QString &code, const QString &description);

// Whether a redirect URI points back to this machine over plain HTTP
// (127.0.0.1, ::1 or localhost, with a port).
bool isLoopbackRedirect(const QString &uri);

} // namespace dravelin::server
