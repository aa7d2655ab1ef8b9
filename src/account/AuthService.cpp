#include "account/AuthService.h"

#include "account/OAuth.h"
#include "account/OAuthLoopbackListener.h"
#include "core/Log.h"
#include "platform/Workspace.h"

#include <QStringDecoder>
#include <QUrlQuery>

namespace dravelin {

namespace {

const char *const kLegacyKeys[] = {"access_token", "refresh_token", "session_grant", "user"};

void info(const QString &message)
{
    logs::info(logs::auth(), message);
}

void error(const QString &message)
{
    logs::error(logs::auth(), message);
}

QString utf8Text(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(body);
    return decoder.hasError() ? QString() : text;
}

AuthError authError(AuthError::Kind kind, QString message = {}, int status = 0)
{
    return AuthError{kind, std::move(message), status};
}

QByteArray jsonBody(const json::Json &body)
{
    return json::encode(body);
}

} // namespace

QString toString(SessionGrant grant)
{
    return grant == SessionGrant::oauth ? QStringLiteral("oauth") : QStringLiteral("password");
}

SessionGrant sessionGrantFrom(const QString &raw)
{
    return raw == u"oauth" ? SessionGrant::oauth : SessionGrant::password;
}

QString StoredSession::encode() const
{
    json::Json j;
    j["accessToken"] = accessToken;
    j["refreshToken"] = refreshToken;
    j["sessionGrant"] = toString(grant);
    if (user)
        j["user"] = user->toJson();
    return QString::fromUtf8(json::encode(j));
}

std::optional<StoredSession> StoredSession::decode(const QString &text)
{
    const auto parsed = json::parse(text.toUtf8());
    if (!parsed || !parsed->is_object())
        return std::nullopt;
    const auto access = json::optionalField<QString>(*parsed, "accessToken");
    const auto refresh = json::optionalField<QString>(*parsed, "refreshToken");
    const auto grant = json::optionalField<QString>(*parsed, "sessionGrant");
    if (!access || !refresh || !grant)
        return std::nullopt;
    StoredSession session{*access, *refresh, sessionGrantFrom(*grant), std::nullopt};
    if (parsed->contains("user") && (*parsed)["user"].is_object())
        session.user = AuthUser::fromJson((*parsed)["user"]);
    return session;
}

AuthService::AuthService(Config config, AuthRequestSending &sender, AuthSessionStoring &keychain, Workspace &workspace,
                         Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_sender(sender)
    , m_keychain(keychain)
    , m_workspace(workspace)
    , m_scheduler(scheduler)
{}

AuthService::~AuthService()
{
    // Lets the loop's sleep end so its coroutine can notice we are gone.
    m_refreshLoop.cancel();
    if (m_signInListener)
        m_signInListener->finish(Unexpected(OAuthLoopbackError{OAuthLoopbackError::Kind::cancelled, {}}));
    if (m_inFlight)
        std::exchange(m_inFlight, nullptr)->done.set();
}

QUrl AuthService::authURL(const QString &path) const
{
    QString base = m_config.projectURL.toString();
    if (!base.endsWith(u'/'))
        base += u'/';
    return QUrl(base + QStringLiteral("auth/v1/") + path);
}

HttpRequest AuthService::standardRequest(QByteArray method, const QString &path, const QString &bearer) const
{
    HttpRequest request;
    request.method = std::move(method);
    request.url = authURL(path);
    request.headers.append(qMakePair(QByteArray("apikey"), m_config.anonKey));
    if (!bearer.isEmpty())
        request.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer ") + bearer.toUtf8()));
    return request;
}

// ---- the session record ----

QCoro::Task<> AuthService::load()
{
    QPointer<AuthService> self(this);
    const auto current = co_await m_keychain.string(QString::fromLatin1(kSessionKey));
    if (!self)
        co_return;
    if (current) {
        const auto stored = StoredSession::decode(*current);
        if (stored && !stored->accessToken.isEmpty() && !stored->refreshToken.isEmpty()) {
            m_accessToken = stored->accessToken;
            m_refreshToken = stored->refreshToken;
            m_grant = stored->grant;
            setUser(stored->user);
            scheduleRefresh();
            co_return;
        }
    }

    // The older layout kept one item per field.
    const auto access = co_await m_keychain.string(QStringLiteral("access_token"));
    const auto refresh = co_await m_keychain.string(QStringLiteral("refresh_token"));
    const auto grant = co_await m_keychain.string(QStringLiteral("session_grant"));
    const auto userText = co_await m_keychain.string(QStringLiteral("user"));
    if (!self)
        co_return;
    m_accessToken = access.value_or(QString());
    m_refreshToken = refresh.value_or(QString());
    m_grant = sessionGrantFrom(grant.value_or(QString()));
    std::optional<AuthUser> user;
    if (userText) {
        if (const auto parsed = json::parse(userText->toUtf8()); parsed && parsed->is_object())
            user = AuthUser::fromJson(*parsed);
    }
    setUser(user);
    co_await saveSession();
    if (self && isSignedIn())
        scheduleRefresh();
}

QCoro::Task<> AuthService::saveSession()
{
    if (m_accessToken.isEmpty() || m_refreshToken.isEmpty())
        co_return;
    QPointer<AuthService> self(this);
    AuthSessionStoring &keychain = m_keychain;
    const StoredSession session{m_accessToken, m_refreshToken, m_grant, m_user};
    std::stop_source answered;
    m_tasks.track(noticeSlowKeyring(answered.get_token()));
    const bool saved = co_await keychain.setString(session.encode(), QString::fromLatin1(kSessionKey));
    answered.request_stop();
    if (saved) {
        for (const char *key : kLegacyKeys)
            co_await keychain.remove(QString::fromLatin1(key));
    }
    if (!self)
        co_return;
    if (!saved) {
        const StoreHealth health = m_keychain.health();
        error(QStringLiteral("Session not saved; you will need to sign in again after quitting: %1")
                  .arg(health.problem.isEmpty() ? QStringLiteral("the keychain refused the write") : health.problem));
    }
    setPersisted(saved);
}

QCoro::Task<> AuthService::noticeSlowKeyring(std::stop_token answered)
{
    QPointer<AuthService> self(this);
    const bool waited = co_await m_scheduler.sleep(kKeyringNotice, answered);
    if (!waited || !self)
        co_return;
    logs::info(logs::auth(), QStringLiteral("Waiting for the keyring to save the session; it may be asking to be "
                                            "unlocked. The session works for this run meanwhile."));
    Q_EMIT keyringWaiting();
}

QCoro::Task<> AuthService::clearTokens()
{
    m_accessToken.clear();
    m_refreshToken.clear();
    ++m_generation;
    setUser(std::nullopt);
    m_refreshLoop.cancel();
    if (m_inFlight)
        std::exchange(m_inFlight, nullptr)->done.set();
    AuthSessionStoring &keychain = m_keychain;
    co_await keychain.remove(QString::fromLatin1(kSessionKey));
    for (const char *key : kLegacyKeys)
        co_await keychain.remove(QString::fromLatin1(key));
}

QCoro::Task<> AuthService::adopt(TokenPair tokens, SessionGrant grant, std::optional<AuthUser> user)
{
    m_accessToken = tokens.accessToken;
    m_refreshToken = tokens.refreshToken;
    m_grant = grant;
    ++m_generation;
    if (user)
        setUser(std::move(user));
    scheduleRefresh();
    co_await saveSession();
}

void AuthService::setUser(std::optional<AuthUser> user)
{
    if (user == m_user)
        return;
    m_user = std::move(user);
    Q_EMIT userChanged();
}

void AuthService::setPersisted(bool persisted)
{
    if (persisted == m_persisted)
        return;
    m_persisted = persisted;
    Q_EMIT sessionPersistenceChanged();
}

// ---- refreshing ----

void AuthService::scheduleRefresh()
{
    m_tasks.track(refreshLoop(m_refreshLoop.renew()));
}

QCoro::Task<> AuthService::refreshLoop(std::stop_token token)
{
    QPointer<AuthService> self(this);
    Scheduler &scheduler = m_scheduler;
    while (true) {
        const bool slept = co_await scheduler.sleep(kRefreshInterval, token);
        if (!slept || !self || token.stop_requested())
            co_return;
        co_await refreshAccessToken();
        if (!self || token.stop_requested())
            co_return;
    }
}

QCoro::Task<> AuthService::refreshAccessToken()
{
    if (m_inFlight) {
        const auto flight = m_inFlight;
        co_await flight->done.wait();
        co_return;
    }
    if (m_refreshToken.isEmpty())
        co_return;
    auto flight = std::make_shared<Flight>();
    flight->id = ++m_nextFlightID;
    m_inFlight = flight;
    // The refresh runs as its own task; callers wait for the flight, which a
    // sign-out ends at once without waiting for the network.
    m_tasks.track(performRefresh(flight, m_refreshToken, m_grant, m_generation));
    co_await flight->done.wait();
}

QCoro::Task<> AuthService::performRefresh(std::shared_ptr<Flight> flight, QString refreshToken, SessionGrant grant,
                                          quint64 generation)
{
    QPointer<AuthService> self(this);
    Expected<void, RefreshFailure> outcome;
    QString label;
    if (grant == SessionGrant::password) {
        label = QStringLiteral("Token");
        HttpRequest request = standardRequest("POST", QStringLiteral("token?grant_type=refresh_token"));
        request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
        json::Json body;
        body["refresh_token"] = refreshToken;
        request.body = jsonBody(body);
        AuthRequestSending &sender = m_sender;
        const auto reply = co_await sender.send(std::move(request));
        if (!self) {
            flight->done.set();
            co_return;
        }
        if (!reply) {
            outcome = Unexpected(
                RefreshFailure{std::nullopt, authError(AuthError::Kind::network, reply.error().description)});
        } else if (reply->status != 200) {
            outcome = Unexpected(
                RefreshFailure{reply->status, authErrorFor(reply->status, reply->body, AuthEndpoint::standard)});
        } else {
            const auto parsed = json::parse(reply->body);
            const auto access = parsed ? json::optionalField<QString>(*parsed, "access_token") : std::nullopt;
            const auto refresh = parsed ? json::optionalField<QString>(*parsed, "refresh_token") : std::nullopt;
            const auto user =
                parsed && parsed->contains("user") ? AuthUser::fromUserResponse((*parsed)["user"]) : std::nullopt;
            if (!access || !refresh || !user) {
                outcome = Unexpected(RefreshFailure{
                    std::nullopt,
                    authError(AuthError::Kind::decoding,
                              parsed ? QStringLiteral("the session reply lacks a field") : parsed.error().message)});
            } else if (generation == m_generation) {
                co_await adopt({*access, *refresh}, SessionGrant::password, user);
                if (self)
                    info(QStringLiteral("Token refreshed"));
            }
        }
    } else {
        label = QStringLiteral("OAuth");
        if (m_config.oauthClientID.isEmpty()) {
            outcome = Unexpected(RefreshFailure{std::nullopt, authError(AuthError::Kind::oauthConfiguration)});
        } else {
            QMap<QString, QString> form;
            form.insert(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
            form.insert(QStringLiteral("refresh_token"), refreshToken);
            form.insert(QStringLiteral("client_id"), m_config.oauthClientID);
            const auto tokens = co_await postOAuthToken(std::move(form), true);
            if (!self) {
                flight->done.set();
                co_return;
            }
            if (!tokens) {
                outcome = Unexpected(tokens.error());
            } else if (generation == m_generation) {
                co_await adopt(*tokens, SessionGrant::oauth, std::nullopt);
                if (self)
                    info(QStringLiteral("OAuth token refreshed"));
            }
        }
    }

    if (self && !outcome && generation == m_generation) {
        const RefreshFailure &failure = outcome.error();
        const int status = failure.httpStatus.value_or(0);
        if (status == 400 || status == 401) {
            error(QStringLiteral("%1 refresh rejected by auth server; clearing session").arg(label));
            co_await clearTokens();
        } else {
            error(
                QStringLiteral("%1 refresh failed; keeping saved session: %2").arg(label, failure.error.description()));
        }
    }
    flight->done.set();
    if (self && m_inFlight == flight)
        m_inFlight.reset();
}

QCoro::Task<Expected<AuthService::TokenPair, AuthService::RefreshFailure>>
AuthService::postOAuthToken(QMap<QString, QString> form, bool refreshMode)
{
    HttpRequest request;
    request.method = "POST";
    request.url = authURL(QStringLiteral("oauth/token"));
    request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/x-www-form-urlencoded")));
    request.body = OAuthFormEncoding::encode(form).value_or(QByteArray());
    AuthRequestSending &sender = m_sender;
    const auto reply = co_await sender.send(std::move(request));
    if (!reply)
        co_return Unexpected(
            RefreshFailure{std::nullopt, authError(AuthError::Kind::network, reply.error().description)});
    if (reply->status < 200 || reply->status > 299) {
        co_return Unexpected(RefreshFailure{refreshMode ? std::optional<int>(reply->status) : std::nullopt,
                                            authErrorFor(reply->status, reply->body, AuthEndpoint::oauth)});
    }
    const auto parsed = json::parse(reply->body);
    if (!parsed)
        co_return Unexpected(
            RefreshFailure{std::nullopt, authError(AuthError::Kind::decoding, parsed.error().message)});
    const auto access = json::optionalField<QString>(*parsed, "access_token");
    const auto refresh = json::optionalField<QString>(*parsed, "refresh_token");
    if (!access || !refresh) {
        co_return Unexpected(RefreshFailure{
            std::nullopt, authError(AuthError::Kind::decoding, QStringLiteral("the token reply lacks a token"))});
    }
    co_return TokenPair{*access, *refresh};
}

QCoro::Task<std::optional<QString>> AuthService::currentAccessToken()
{
    QPointer<AuthService> self(this);
    if (!m_accessToken.isEmpty()) {
        const auto expiry = tokenExpiry(m_accessToken);
        if (expiry && m_scheduler.wallNow().msecsTo(*expiry) < kExpiryMargin.count()) {
            info(QStringLiteral("Access token near expiry — refreshing before use"));
            co_await refreshAccessToken();
        }
    } else if (!m_refreshToken.isEmpty()) {
        info(QStringLiteral("Restoring access token from saved refresh token"));
        co_await refreshAccessToken();
    }
    if (!self || m_accessToken.isEmpty())
        co_return std::nullopt;
    const auto expiry = tokenExpiry(m_accessToken);
    if (expiry && *expiry <= m_scheduler.wallNow()) {
        error(QStringLiteral("Access token is expired and could not be refreshed"));
        co_return std::nullopt;
    }
    co_return QString(m_accessToken);
}

// ---- user and profile ----

QCoro::Task<Expected<HttpReply, AuthError>> AuthService::sendWithRetry(HttpRequest request)
{
    AuthRequestSending &sender = m_sender;
    auto reply = co_await sender.send(request);
    if (!reply && reply.error().connectionLost) {
        info(QStringLiteral("Connection lost before send — retrying once"));
        reply = co_await sender.send(request);
    }
    if (!reply)
        co_return Unexpected(authError(AuthError::Kind::network, reply.error().description));
    co_return HttpReply(*reply);
}

QCoro::Task<Expected<AuthUser, AuthError>> AuthService::fetchCurrentUser(QString accessToken)
{
    const auto reply = co_await sendWithRetry(standardRequest("GET", QStringLiteral("user"), accessToken));
    if (!reply)
        co_return Unexpected(reply.error());
    if (reply->status != 200)
        co_return Unexpected(authErrorFor(reply->status, reply->body, AuthEndpoint::oauth));
    const auto parsed = json::parse(reply->body);
    if (!parsed)
        co_return Unexpected(authError(AuthError::Kind::decoding, parsed.error().message));
    const auto user = AuthUser::fromUserResponse(*parsed);
    if (!user)
        co_return Unexpected(authError(AuthError::Kind::decoding, QStringLiteral("the user reply has no id")));
    co_return AuthUser(*user);
}

QCoro::Task<Expected<void, AuthError>> AuthService::refreshCurrentUser()
{
    QPointer<AuthService> self(this);
    const auto token = co_await currentAccessToken();
    if (!self || !token)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    const auto user = co_await fetchCurrentUser(*token);
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    if (!user) {
        error(QStringLiteral("Current-user refresh failed: %1").arg(user.error().description()));
        co_return Unexpected(user.error());
    }
    setUser(*user);
    co_await saveSession();
    co_return Expected<void, AuthError>{};
}

QCoro::Task<Expected<void, AuthError>> AuthService::updateMetadata(json::Json data, QString logLine)
{
    QPointer<AuthService> self(this);
    const auto token = co_await currentAccessToken();
    if (!self || !token)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    HttpRequest request = standardRequest("PUT", QStringLiteral("user"), *token);
    request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    json::Json body;
    body["data"] = std::move(data);
    request.body = jsonBody(body);
    const auto reply = co_await sendWithRetry(std::move(request));
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    if (!reply)
        co_return Unexpected(reply.error());
    if (reply->status != 200)
        co_return Unexpected(authError(AuthError::Kind::server, utf8Text(reply->body), reply->status));
    const auto parsed = json::parse(reply->body);
    if (!parsed)
        co_return Unexpected(authError(AuthError::Kind::decoding, parsed.error().message));
    const auto user = AuthUser::fromUserResponse(*parsed);
    if (!user)
        co_return Unexpected(authError(AuthError::Kind::decoding, QStringLiteral("the user reply has no id")));
    setUser(*user);
    co_await saveSession();
    info(logLine);
    co_return {};
}

QCoro::Task<Expected<void, AuthError>> AuthService::updateProfile(QString firstName, QString lastName)
{
    json::Json data;
    data["first_name"] = firstName;
    data["last_name"] = lastName;
    co_return co_await updateMetadata(std::move(data), QStringLiteral("Profile updated"));
}

QCoro::Task<Expected<void, AuthError>> AuthService::updateAvatarPreset(QString preset)
{
    json::Json data;
    data["avatar_preset"] = preset;
    co_return co_await updateMetadata(std::move(data), QStringLiteral("Preset avatar updated"));
}

QCoro::Task<Expected<void, AuthError>> AuthService::uploadAvatar(QByteArray imageData, QString mimeType)
{
    QPointer<AuthService> self(this);
    const auto token = co_await currentAccessToken();
    if (!self || !token || !m_user)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    QString base = m_config.projectURL.toString();
    if (!base.endsWith(u'/'))
        base += u'/';
    const QString objectPath = QStringLiteral("avatars/%1/avatar.jpg").arg(m_user->id);
    HttpRequest request;
    request.method = "PUT";
    request.url = QUrl(base + QStringLiteral("storage/v1/object/") + objectPath);
    request.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer ") + token->toUtf8()));
    request.headers.append(qMakePair(QByteArray("apikey"), m_config.anonKey));
    request.headers.append(qMakePair(QByteArray("Content-Type"), mimeType.toUtf8()));
    request.headers.append(qMakePair(QByteArray("x-upsert"), QByteArray("true")));
    request.body = std::move(imageData);
    const auto reply = co_await sendWithRetry(std::move(request));
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::notSignedIn));
    if (!reply)
        co_return Unexpected(reply.error());
    if (reply->status < 200 || reply->status > 299)
        co_return Unexpected(authError(AuthError::Kind::uploadFailed, utf8Text(reply->body), reply->status));

    QUrl publicURL(base + QStringLiteral("storage/v1/object/public/") + objectPath);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("v"), QString::number(m_scheduler.wallNow().toMSecsSinceEpoch()));
    publicURL.setQuery(query);
    json::Json data;
    data["avatar_url"] = publicURL.toString();
    data["avatar_preset"] = "";
    co_return co_await updateMetadata(std::move(data), QStringLiteral("Avatar uploaded"));
}

QCoro::Task<> AuthService::signOut()
{
    QPointer<AuthService> self(this);
    const QString token = m_accessToken;
    // The local session goes first, so signing out never waits on the network;
    // the server is then told to revoke the tokens, and its answer is ignored.
    co_await clearTokens();
    if (!token.isEmpty()) {
        HttpRequest request = standardRequest("POST", QStringLiteral("logout"), token);
        request.timeout = Millis(10000);
        AuthRequestSending &sender = m_sender;
        (void)co_await sender.send(std::move(request)); // its answer is ignored, as said above
    }
    if (self)
        info(QStringLiteral("Signed out"));
}

// ---- browser sign-in ----

void AuthService::cancelSignIn()
{
    if (m_signInListener)
        m_signInListener->finish(Unexpected(OAuthLoopbackError{OAuthLoopbackError::Kind::cancelled, {}}));
}

QCoro::Task<Expected<void, AuthError>> AuthService::signInViaBrowser()
{
    if (m_config.oauthClientID.trimmed().isEmpty())
        co_return Unexpected(authError(AuthError::Kind::oauthConfiguration));
    // The listener lives in this frame so that it outlives every path below,
    // even if the service goes away while the browser is open. It is deleted
    // later, not here: this coroutine may be resumed from inside the
    // listener's own socket handler, which must not see its objects vanish.
    std::unique_ptr<OAuthLoopbackListener, void (*)(OAuthLoopbackListener *)> listener(
        nullptr, [](OAuthLoopbackListener *l) { l->deleteLater(); });
    // Another sign-in (another user, another copy) may hold the usual port:
    // the next ones in a small range will do, and the redirect names the one
    // in use.
    const int firstPort = m_config.redirectURI.port(45821);
    Expected<void, OAuthLoopbackError> started =
        Unexpected(OAuthLoopbackError{OAuthLoopbackError::Kind::cancelled, {}});
    for (int port = firstPort; port < firstPort + kCallbackPorts && port <= 65535; ++port) {
        listener.reset(new OAuthLoopbackListener(static_cast<quint16>(port), m_scheduler));
        started = listener->start();
        if (started)
            break;
        info(QStringLiteral("Sign-in callback port %1 is busy — trying the next").arg(port));
    }
    if (!started)
        co_return Unexpected(authError(AuthError::Kind::oauth, started.error().description()));
    m_signInListener = listener.get();
    auto outcome = co_await runBrowserSignIn(*listener);
    if (!outcome)
        listener->finish(Unexpected(OAuthLoopbackError{OAuthLoopbackError::Kind::cancelled, {}}));
    co_return outcome;
}

QCoro::Task<Expected<void, AuthError>> AuthService::runBrowserSignIn(OAuthLoopbackListener &listener)
{
    QPointer<AuthService> self(this);
    const QString clientID = m_config.oauthClientID.trimmed();
    const QString verifier = OAuthSecurity::randomURLSafeString(48);
    const QString state = OAuthSecurity::randomURLSafeString(32);
    QUrl redirect = m_config.redirectURI;
    redirect.setPort(listener.port());
    const OAuthAuthorizationRequest authorization{authURL(QStringLiteral("oauth/authorize")), clientID, redirect, state,
                                                  OAuthSecurity::challenge(verifier)};
    const auto url = authorization.url();
    if (!url)
        co_return Unexpected(authError(AuthError::Kind::oauthConfiguration));

    listener.setExpectedState(state);
    Q_EMIT browserSignInStarted(*url);
    if (!m_workspace.openURL(*url))
        co_return Unexpected(authError(AuthError::Kind::browserLoginUnavailable));

    const auto callback = co_await listener.waitForCallback(m_config.signInTimeout);
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::browserLoginCancelled));
    if (!callback) {
        if (callback.error().kind == OAuthLoopbackError::Kind::cancelled)
            co_return Unexpected(authError(AuthError::Kind::browserLoginCancelled));
        co_return Unexpected(authError(AuthError::Kind::oauth, callback.error().description()));
    }
    if (!callback->state || *callback->state != state)
        co_return Unexpected(authError(AuthError::Kind::invalidOAuthState));
    if (callback->error == u"access_denied")
        co_return Unexpected(authError(AuthError::Kind::browserLoginCancelled));
    if (callback->error)
        co_return Unexpected(authError(AuthError::Kind::oauth, callback->errorDescription.value_or(*callback->error)));
    if (!callback->code || callback->code->isEmpty()) {
        co_return Unexpected(
            authError(AuthError::Kind::oauth, QStringLiteral("The browser did not return an authorization code.")));
    }

    QMap<QString, QString> form;
    form.insert(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    form.insert(QStringLiteral("code"), *callback->code);
    form.insert(QStringLiteral("client_id"), clientID);
    form.insert(QStringLiteral("redirect_uri"), redirect.toString());
    form.insert(QStringLiteral("code_verifier"), verifier);
    const auto tokens = co_await postOAuthToken(std::move(form), false);
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::browserLoginCancelled));
    if (!tokens)
        co_return Unexpected(tokens.error().error);
    const auto user = co_await fetchCurrentUser(tokens->accessToken);
    if (!self)
        co_return Unexpected(authError(AuthError::Kind::browserLoginCancelled));
    if (!user)
        co_return Unexpected(user.error());
    co_await adopt(*tokens, SessionGrant::oauth, *user);
    info(QStringLiteral("Signed in through system browser"));
    co_return {};
}

} // namespace dravelin
