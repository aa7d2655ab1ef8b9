#include "auth/AuthRoutes.h"

#include "auth/Jwt.h"
#include "core/Log.h"

#include <QUrl>

namespace dravelin::server {

namespace {

constexpr qint64 kCodeSeconds = 300;
constexpr qint64 kConsentSeconds = 600;

QString htmlEscape(const QString &text)
{
    return text.toHtmlEscaped();
}

QByteArray page(const QString &title, const QString &body)
{
    return (QStringLiteral("<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
                           "content=\"width=device-width\"><title>") +
            htmlEscape(title) +
            QStringLiteral("</title><style>body{font:16px system-ui;background:#f4f0e8;color:#171915;display:grid;"
                           "place-items:center;min-height:100vh;margin:0}main{max-width:28rem;padding:2rem}"
                           "input{font:inherit;width:100%;box-sizing:border-box;padding:.5rem;margin:.5rem 0 1rem}"
                           "button{font:inherit;padding:.5rem 1.2rem;margin-right:.5rem}</style><main>") +
            body + QStringLiteral("</main></html>"))
        .toUtf8();
}

QByteArray formValue(const QUrlQuery &form, const char *key)
{
    return form.queryItemValue(QString::fromLatin1(key), QUrl::FullyDecoded).toUtf8();
}

QUrlQuery parseForm(const QByteArray &body)
{
    QByteArray text = body;
    text.replace('+', ' '); // form encoding writes spaces as '+'
    return QUrlQuery(QString::fromUtf8(text));
}

QByteArray withQuery(const QString &uri, const QList<QPair<QString, QString>> &items)
{
    QUrl url(uri);
    QUrlQuery query(url);
    for (const auto &[k, v] : items)
        query.addQueryItem(k, QString::fromUtf8(QUrl::toPercentEncoding(v)));
    url.setQuery(query);
    return url.toEncoded();
}

} // namespace

HttpResponse authError(int status, const QString &code, const QString &description)
{
    json::Json j;
    j["error"] = code;
    j["error_description"] = description;
    j["error_code"] = code;
    j["msg"] = description;
    return HttpResponse::json(status, json::encode(j));
}

// A session write that did not reach the database: the request fails rather
// than hand out, or pretend to revoke, something that is not stored.
static HttpResponse storageUnavailable()
{
    return authError(503, QStringLiteral("storage_unavailable"),
                     QStringLiteral("The server could not save the session (is its disk full?). Try again shortly."));
}

static HttpResponse metadataTooLarge()
{
    return authError(413, QStringLiteral("metadata_too_large"),
                     QStringLiteral("User metadata is limited to %1 bytes").arg(AuthRoutes::kMaxUserMetadataBytes));
}

bool isLoopbackRedirect(const QString &uri)
{
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"http" || url.port() <= 0 || !url.userInfo().isEmpty() || url.hasFragment())
        return false;
    const QString host = url.host();
    return host == u"127.0.0.1" || host == u"::1" || host == u"localhost";
}

AuthRoutes::AuthRoutes(const ServerConfig &config, Storage &storage, Scheduler &scheduler)
    : m_config(config)
    , m_storage(storage)
    , m_scheduler(scheduler)
{
    schedulePurge();
}

AuthRoutes::~AuthRoutes()
{
    m_scheduler.cancelWake(m_purgeWake);
}

void AuthRoutes::schedulePurge()
{
    m_purgeWake = m_scheduler.scheduleWake(kPurgeInterval, [this] {
        purge();
        schedulePurge();
    });
}

// Codes past their five minutes and refresh tokens long revoked are of no
// use to anyone; nor are consent pages left open.
void AuthRoutes::purge()
{
    const qint64 t = now();
    std::erase_if(m_tickets, [t](const auto &entry) { return entry.second.expiresAt < t; });
    if (!m_storage.purgeStaleGrants(t, t - kRevokedTokenSeconds))
        logs::info(logs::auth(), QStringLiteral("Expired sign-in codes and revoked tokens were not purged"));
}

qint64 AuthRoutes::now() const
{
    return m_scheduler.wallNow().toSecsSinceEpoch();
}

bool AuthRoutes::apiKeyOk(const HttpRequest &request) const
{
    return request.header("apikey") == m_config.apiKey;
}

std::optional<HttpResponse> AuthRoutes::refuseWithoutApiKey(const HttpRequest &request) const
{
    if (apiKeyOk(request))
        return std::nullopt;
    json::Json body;
    body["message"] = "No API key found in request";
    body["hint"] = "No `apikey` request header or url param was found.";
    return HttpResponse::json(401, json::encode(body));
}

void AuthRoutes::install(Router &router)
{
    auto sync = [](auto member, AuthRoutes *self) {
        return [member, self](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return (self->*member)(request); };
    };
    router.add("GET", QStringLiteral("/auth/v1/oauth/authorize"), sync(&AuthRoutes::authorizePage, this));
    router.add("POST", QStringLiteral("/auth/v1/oauth/authorize"), sync(&AuthRoutes::authorizeDecision, this));
    router.add("POST", QStringLiteral("/auth/v1/oauth/token"), sync(&AuthRoutes::oauthToken, this));
    router.add("POST", QStringLiteral("/auth/v1/token"), sync(&AuthRoutes::jsonRefresh, this));
    router.add("GET", QStringLiteral("/auth/v1/user"), sync(&AuthRoutes::currentUser, this));
    router.add("PUT", QStringLiteral("/auth/v1/user"), sync(&AuthRoutes::updateUser, this));
    router.add("POST", QStringLiteral("/auth/v1/logout"), sync(&AuthRoutes::logout, this));
}

HttpResponse AuthRoutes::authorizePage(const HttpRequest &request)
{
    const auto &q = request.query;
    const QString clientId = q.queryItemValue(QStringLiteral("client_id"), QUrl::FullyDecoded);
    const QString redirectUri = q.queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded);
    const QString state = q.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    const QByteArray challenge = q.queryItemValue(QStringLiteral("code_challenge"), QUrl::FullyDecoded).toLatin1();
    // Problems found before the redirect URI is trusted are shown here, never
    // sent to an unchecked address.
    auto refuse = [](const QString &why) {
        return HttpResponse::html(
            400, page(QStringLiteral("Sign-in refused"),
                      QStringLiteral("<h1>Sign-in refused</h1><p>") + htmlEscape(why) + QStringLiteral("</p>")));
    };
    if (q.queryItemValue(QStringLiteral("response_type")) != u"code")
        return refuse(QStringLiteral("Only the authorization-code flow is supported."));
    if (clientId != m_config.oauthClientId)
        return refuse(QStringLiteral("Unknown application."));
    if (!isLoopbackRedirect(redirectUri))
        return refuse(QStringLiteral("The application must listen on this machine (http://127.0.0.1:port/…)."));
    if (q.queryItemValue(QStringLiteral("code_challenge_method")) != u"S256" || challenge.size() < 43 ||
        challenge.size() > 128 || !fromBase64Url(challenge))
        return refuse(QStringLiteral("A PKCE S256 code challenge is required."));

    // Tickets live in memory: expired ones make room, and when every one is
    // still live the page asks to come back later.
    const qint64 t = now();
    if (m_tickets.size() >= kMaxConsentTickets)
        std::erase_if(m_tickets, [t](const auto &entry) { return entry.second.expiresAt < t; });
    if (m_tickets.size() >= kMaxConsentTickets) {
        logs::info(logs::auth(), QStringLiteral("Consent page refused: %1 sign-ins under way").arg(m_tickets.size()));
        HttpResponse busy = HttpResponse::html(
            503, page(QStringLiteral("Sign-in busy"),
                      QStringLiteral("<h1>Too many sign-ins</h1><p>Too many sign-ins are under way on this server. "
                                     "Try again in a few minutes.</p>")));
        busy.headers.append({"Retry-After", QByteArray::number(60)});
        return busy;
    }
    const QByteArray ticket = randomToken(24);
    m_tickets[ticket] = ConsentTicket{clientId, redirectUri, state, challenge, t + kConsentSeconds};

    const QString form =
        QStringLiteral("<h1>Sign in to Dravelin</h1><p>Dravelin on this computer asks to use your local account.</p>"
                       "<form method=\"post\"><input type=\"hidden\" name=\"ticket\" value=\"%1\">"
                       "<label>Email<input name=\"email\" type=\"email\" required value=\"%2\"></label>"
                       "<button name=\"decision\" value=\"allow\" type=\"submit\">Allow</button>"
                       "<button name=\"decision\" value=\"deny\" type=\"submit\" formnovalidate>Deny</button>"
                       "</form>")
            .arg(QString::fromLatin1(ticket), htmlEscape(m_config.localUserEmail));
    return HttpResponse::html(200, page(QStringLiteral("Sign in to Dravelin"), form));
}

HttpResponse AuthRoutes::authorizeDecision(const HttpRequest &request)
{
    const QUrlQuery form = parseForm(request.body);
    const QByteArray ticketId = formValue(form, "ticket");
    auto it = m_tickets.find(ticketId);
    if (it == m_tickets.end() || it->second.expiresAt < now()) {
        if (it != m_tickets.end())
            m_tickets.erase(it);
        return HttpResponse::html(400, page(QStringLiteral("Sign-in expired"),
                                            QStringLiteral("<h1>Sign-in expired</h1><p>Start the sign-in again "
                                                           "from Dravelin.</p>")));
    }
    const ConsentTicket ticket = it->second;
    m_tickets.erase(it);
    if (formValue(form, "decision") != "allow") {
        return HttpResponse::redirect(withQuery(
            ticket.redirectUri, {{QStringLiteral("error"), QStringLiteral("access_denied")},
                                 {QStringLiteral("error_description"), QStringLiteral("The user denied the request")},
                                 {QStringLiteral("state"), ticket.state}}));
    }
    const QString email = QString::fromUtf8(formValue(form, "email")).trimmed().toLower();
    if (email.isEmpty() || !email.contains(u'@') || email.size() > 254) {
        return HttpResponse::html(400, page(QStringLiteral("Sign-in refused"),
                                            QStringLiteral("<h1>Sign-in refused</h1><p>Enter an email address.</p>")));
    }
    const User user = m_storage.userByEmail(email).value_or(User{});
    if (user.disabledAt) {
        // Told in the browser, and the app hears access_denied.
        return HttpResponse::redirect(
            withQuery(ticket.redirectUri, {{QStringLiteral("error"), QStringLiteral("access_denied")},
                                           {QStringLiteral("error_description"),
                                            QStringLiteral("This account has been disabled by an administrator")},
                                           {QStringLiteral("state"), ticket.state}}));
    }
    const std::optional<User> signedIn = user.id.isEmpty() ? m_storage.createUser(email, now()) : user;
    const QByteArray code = randomToken(32);
    if (!signedIn ||
        !m_storage.saveAuthCode(AuthCode{sha256Hex(code), signedIn->id, ticket.clientId, ticket.redirectUri,
                                         ticket.challenge, now() + kCodeSeconds, false})) {
        return HttpResponse::html(503, page(QStringLiteral("Sign-in failed"),
                                            QStringLiteral("<h1>Sign-in failed</h1><p>The server could not save the "
                                                           "sign-in (is its disk full?). Try again shortly.</p>")));
    }
    logs::info(logs::auth(), QStringLiteral("Authorization code issued for %1").arg(logs::priv(email)));
    return HttpResponse::redirect(withQuery(ticket.redirectUri, {{QStringLiteral("code"), QString::fromLatin1(code)},
                                                                 {QStringLiteral("state"), ticket.state}}));
}

json::Json AuthRoutes::userJson(const User &user)
{
    json::Json j;
    j["id"] = user.id;
    j["email"] = user.email;
    j["user_metadata"] = user.userMetadata;
    j["app_metadata"] = json::Json{{"role", user.role.toStdString()}};
    return j;
}

std::optional<json::Json> AuthRoutes::issueSession(const User &user, const QString &clientId,
                                                   const std::optional<QByteArray> &replacing)
{
    const qint64 issued = now();
    json::Json claims;
    claims["sub"] = user.id;
    claims["email"] = user.email;
    claims["role"] = user.role;
    claims["aud"] = kTokenAudience;
    claims["iat"] = issued;
    claims["nbf"] = issued;
    claims["exp"] = issued + m_config.accessTokenSeconds;
    const QByteArray refresh = randomToken(32);
    const RefreshToken token{sha256Hex(refresh), user.id, clientId, issued, std::nullopt};
    if (replacing ? !m_storage.rotateRefreshToken(*replacing, token, issued) : !m_storage.saveRefreshToken(token))
        return std::nullopt;
    json::Json session;
    session["access_token"] = QString::fromLatin1(signJwt(claims, m_config.signingSecret));
    session["token_type"] = "bearer";
    session["expires_in"] = m_config.accessTokenSeconds;
    session["expires_at"] = issued + m_config.accessTokenSeconds;
    session["refresh_token"] = QString::fromLatin1(refresh);
    session["user"] = userJson(user);
    return session;
}

HttpResponse AuthRoutes::oauthToken(const HttpRequest &request)
{
    if (!request.header("content-type").toLower().startsWith("application/x-www-form-urlencoded"))
        return authError(400, QStringLiteral("invalid_request"), QStringLiteral("expected a form-encoded body"));
    const QUrlQuery form = parseForm(request.body);
    const QByteArray grant = formValue(form, "grant_type");
    const QString clientId = QString::fromUtf8(formValue(form, "client_id"));
    if (clientId != m_config.oauthClientId)
        return authError(401, QStringLiteral("invalid_client"), QStringLiteral("unknown client"));
    if (grant == "refresh_token")
        return refreshWith(formValue(form, "refresh_token"), clientId, false);
    if (grant != "authorization_code")
        return authError(400, QStringLiteral("unsupported_grant_type"), QStringLiteral("unsupported grant type"));

    const QByteArray code = formValue(form, "code");
    const auto consumed = code.isEmpty() ? Expected<std::optional<AuthCode>, QString>(std::optional<AuthCode>())
                                         : m_storage.consumeAuthCode(sha256Hex(code));
    if (!consumed)
        return storageUnavailable();
    const std::optional<AuthCode> &stored = *consumed;
    if (!stored || stored->expiresAt < now())
        return authError(400, QStringLiteral("invalid_grant"),
                         QStringLiteral("Authorization code is invalid or expired"));
    if (stored->used) {
        // A replayed code: whoever holds it, the sessions it gave out are suspect.
        if (!m_storage.revokeUserTokens(stored->userId, now()))
            return storageUnavailable();
        return authError(400, QStringLiteral("invalid_grant"), QStringLiteral("Authorization code was already used"));
    }
    if (stored->clientId != clientId || stored->redirectUri != QString::fromUtf8(formValue(form, "redirect_uri")))
        return authError(400, QStringLiteral("invalid_grant"), QStringLiteral("redirect_uri or client does not match"));
    if (pkceChallenge(formValue(form, "code_verifier")) != stored->challenge)
        return authError(400, QStringLiteral("invalid_grant"),
                         QStringLiteral("code_verifier does not match the challenge"));
    const auto user = m_storage.userById(stored->userId);
    if (!user)
        return authError(400, QStringLiteral("invalid_grant"), QStringLiteral("the user no longer exists"));
    if (user->disabledAt)
        return authError(400, QStringLiteral("user_banned"), QStringLiteral("User is banned"));
    const auto session = issueSession(*user, clientId);
    if (!session)
        return storageUnavailable();
    logs::info(logs::auth(), QStringLiteral("Session issued by code exchange"));
    return HttpResponse::json(200, json::encode(*session));
}

HttpResponse AuthRoutes::refreshWith(const QByteArray &refreshToken, const QString &clientId, bool includeUser)
{
    const auto stored = refreshToken.isEmpty() ? std::nullopt : m_storage.refreshToken(sha256Hex(refreshToken));
    if (!stored)
        return authError(400, QStringLiteral("refresh_token_not_found"),
                         QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    if (stored->revokedAt) {
        // Reuse of a rotated token: end every session of the user.
        if (!m_storage.revokeUserTokens(stored->userId, now()))
            return storageUnavailable();
        return authError(400, QStringLiteral("refresh_token_already_used"),
                         QStringLiteral("Invalid Refresh Token: Already Used"));
    }
    if (stored->clientId != clientId)
        return authError(400, QStringLiteral("invalid_grant"),
                         QStringLiteral("refresh token belongs to another client"));
    const auto user = m_storage.userById(stored->userId);
    if (!user)
        return authError(400, QStringLiteral("user_not_found"), QStringLiteral("User not found"));
    if (user->disabledAt)
        return authError(400, QStringLiteral("user_banned"), QStringLiteral("User is banned"));
    auto session = issueSession(*user, clientId, stored->tokenHash);
    if (!session)
        return storageUnavailable();
    if (!includeUser)
        session->erase("user");
    return HttpResponse::json(200, json::encode(*session));
}

HttpResponse AuthRoutes::jsonRefresh(const HttpRequest &request)
{
    if (!apiKeyOk(request))
        return authError(401, QStringLiteral("no_api_key"), QStringLiteral("No API key found in request"));
    if (request.query.queryItemValue(QStringLiteral("grant_type")) != u"refresh_token")
        return authError(400, QStringLiteral("unsupported_grant_type"), QStringLiteral("unsupported grant type"));
    const auto body = json::parse(request.body);
    const auto token = body ? json::optionalField<QString>(*body, "refresh_token") : std::nullopt;
    if (!token)
        return authError(400, QStringLiteral("validation_failed"), QStringLiteral("refresh_token is required"));
    return refreshWith(token->toUtf8(), QString(), true);
}

Expected<User, HttpResponse> AuthRoutes::requireUser(const HttpRequest &request)
{
    auto user = authenticate(request);
    if (!user)
        return Unexpected{HttpResponse::error(401, QStringLiteral("Unauthorized: %1").arg(user.error()))};
    return std::move(user.value());
}

Router::HeadCheck AuthRoutes::bearerCheck()
{
    return [this](const HttpRequest &request) -> std::optional<HttpResponse> {
        auto user = requireUser(request);
        if (!user)
            return user.error();
        return std::nullopt;
    };
}

Expected<User, QString> AuthRoutes::authenticate(const HttpRequest &request)
{
    const QByteArray token = request.bearerToken();
    if (token.isEmpty())
        return Unexpected{QStringLiteral("missing bearer token")};
    auto claims = verifyJwt(token, m_config.signingSecret, now());
    if (!claims)
        return Unexpected{claims.error()};
    const auto sub = json::optionalField<QString>(*claims, "sub");
    const auto user = sub ? m_storage.accountById(*sub) : std::nullopt;
    if (!user)
        return Unexpected{QStringLiteral("unknown user")};
    if (user->disabledAt)
        return Unexpected{QStringLiteral("account disabled")};
    return *user;
}

HttpResponse AuthRoutes::currentUser(const HttpRequest &request)
{
    if (!apiKeyOk(request))
        return authError(401, QStringLiteral("no_api_key"), QStringLiteral("No API key found in request"));
    const auto account = authenticate(request);
    if (!account)
        return authError(401, QStringLiteral("bad_jwt"), account.error());
    const auto user = m_storage.userById(account->id);
    if (!user)
        return authError(401, QStringLiteral("bad_jwt"), QStringLiteral("unknown user"));
    return HttpResponse::json(200, json::encode(userJson(*user)));
}

HttpResponse AuthRoutes::updateUser(const HttpRequest &request)
{
    if (!apiKeyOk(request))
        return authError(401, QStringLiteral("no_api_key"), QStringLiteral("No API key found in request"));
    const auto account = authenticate(request);
    if (!account)
        return authError(401, QStringLiteral("bad_jwt"), account.error());
    // A body far beyond what the metadata may hold is not parsed at all.
    if (request.body.size() > 4 * kMaxUserMetadataBytes)
        return metadataTooLarge();
    auto user = m_storage.userById(account->id);
    if (!user)
        return authError(401, QStringLiteral("bad_jwt"), QStringLiteral("unknown user"));
    const auto body = json::parse(request.body);
    if (!body || !body->is_object() || !body->contains("data") || !(*body)["data"].is_object())
        return authError(400, QStringLiteral("validation_failed"), QStringLiteral("expected {\"data\": {...}}"));
    json::Json metadata = user->userMetadata;
    for (const auto &[key, value] : (*body)["data"].items()) {
        if (!value.is_string() && !value.is_null())
            return authError(400, QStringLiteral("validation_failed"),
                             QStringLiteral("metadata values must be strings"));
        metadata[key] = value;
    }
    if (json::encode(metadata).size() > kMaxUserMetadataBytes)
        return metadataTooLarge();
    if (!m_storage.updateUserMetadata(user->id, metadata))
        return storageUnavailable();
    user->userMetadata = metadata;
    return HttpResponse::json(200, json::encode(userJson(*user)));
}

HttpResponse AuthRoutes::logout(const HttpRequest &request)
{
    const auto user = authenticate(request);
    if (!user)
        return authError(401, QStringLiteral("bad_jwt"), user.error());
    if (!m_storage.revokeUserTokens(user->id, now()))
        return storageUnavailable();
    logs::info(logs::auth(), QStringLiteral("Signed out %1").arg(logs::priv(user->email)));
    return HttpResponse::empty(204);
}

} // namespace dravelin::server
