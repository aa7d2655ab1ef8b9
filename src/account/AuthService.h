#pragma once

#include "account/AuthError.h"
#include "account/AuthRequestSending.h"
#include "account/Authenticating.h"
#include "account/KeychainStore.h"
#include "account/TokenSource.h"
#include "core/AsyncEvent.h"
#include "core/Expected.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <optional>

namespace dravelin {

class OAuthLoopbackListener;
class Workspace;

// Which endpoint future refreshes use: the password-grant token endpoint
// (older email/password sessions) or the OAuth token endpoint (browser sign-in).
enum class SessionGrant {
    password,
    oauth
};
QString toString(SessionGrant grant);
SessionGrant sessionGrantFrom(const QString &raw);

// The keychain record of a session.
struct StoredSession
{
    QString accessToken;
    QString refreshToken;
    SessionGrant grant = SessionGrant::password;
    std::optional<AuthUser> user;

    QString encode() const;
    static std::optional<StoredSession> decode(const QString &text);
};

// The user's session with the auth service: browser sign-in, a fresh access
// token for every backend client, the profile, the keychain record, sign-out.
// Main-thread only.
class AuthService final : public QObject, public TokenSource, public Authenticating
{
    Q_OBJECT
public:
    // Ports tried for the browser's return, from the configured one on.
    static constexpr int kCallbackPorts = 10;
    struct Config
    {
        QUrl projectURL;       // the backend's base URL ("…/" + auth/v1, storage/v1)
        QByteArray anonKey;    // the public API key, sent as "apikey"
        QString oauthClientID; // empty: browser sign-in is not configured
        QUrl redirectURI;      // the loopback callback
        Millis signInTimeout{300000};
    };

    // Keychain keys.
    static constexpr const char *kSessionKey = "auth_session_v2";
    static constexpr Millis kRefreshInterval{3000 * 1000};
    static constexpr Millis kExpiryMargin{300 * 1000};
    // A save the keyring has not answered by then is waiting for the user
    // (a locked keyring asks to be unlocked): keyringWaiting() says so.
    static constexpr Millis kKeyringNotice{5000};

    AuthService(Config config, AuthRequestSending &sender, AuthSessionStoring &keychain, Workspace &workspace,
                Scheduler &scheduler, QObject *parent = nullptr);
    ~AuthService() override;

    // Reads the saved session (migrating the older one-item-per-field layout)
    // and starts the refresh loop when there is one.
    QCoro::Task<> load();

    const std::optional<AuthUser> &user() const { return m_user; }
    bool isSignedIn() const override { return !m_accessToken.isEmpty() || !m_refreshToken.isEmpty(); }
    bool isAdmin() const { return m_user && m_user->isAdmin(); }
    SessionGrant sessionGrant() const { return m_grant; }
    // Whether the session will still be there after a restart; the problem
    // text is for the account screen.
    StoreHealth keychainHealth() const { return m_keychain.health(); }
    bool sessionPersisted() const { return m_persisted; }

    QCoro::Task<std::optional<QString>> currentAccessToken() override;
    QCoro::Task<Expected<void, AuthError>> signInViaBrowser();
    // Ends a sign-in that is waiting for the browser; it fails as cancelled.
    void cancelSignIn();
    QCoro::Task<> signOut();
    // Asks the server who is signed in; the reason when it could not tell.
    QCoro::Task<Expected<void, AuthError>> refreshCurrentUser();
    QCoro::Task<Expected<void, AuthError>> updateProfile(QString firstName, QString lastName);
    QCoro::Task<Expected<void, AuthError>> updateAvatarPreset(QString preset);
    QCoro::Task<Expected<void, AuthError>> uploadAvatar(QByteArray imageData, QString mimeType);

    // One refresh at a time: concurrent callers share the one in flight.
    QCoro::Task<> refreshAccessToken();

    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void userChanged();
    // The sign-in URL went to the browser (for screens and the command line).
    void browserSignInStarted(const QUrl &url);
    void sessionPersistenceChanged();
    // Saving the session has waited kKeyringNotice for the keyring; the
    // session works for this run meanwhile.
    void keyringWaiting();

private:
    struct RefreshFailure
    {
        std::optional<int> httpStatus; // set when the server answered
        AuthError error;
    };
    struct TokenPair
    {
        QString accessToken;
        QString refreshToken;
    };
    struct Flight
    {
        quint64 id = 0;
        AsyncEvent done;
    };

    QUrl authURL(const QString &path) const;
    HttpRequest standardRequest(QByteArray method, const QString &path, const QString &bearer = {}) const;
    QCoro::Task<Expected<HttpReply, AuthError>> sendWithRetry(HttpRequest request);
    QCoro::Task<Expected<AuthUser, AuthError>> fetchCurrentUser(QString accessToken);
    QCoro::Task<Expected<TokenPair, RefreshFailure>> postOAuthToken(QMap<QString, QString> form, bool refreshMode);
    QCoro::Task<Expected<void, AuthError>> updateMetadata(json::Json data, QString logLine);
    QCoro::Task<Expected<void, AuthError>> runBrowserSignIn(OAuthLoopbackListener &listener);

    QCoro::Task<> performRefresh(std::shared_ptr<Flight> flight, QString refreshToken, SessionGrant grant,
                                 quint64 generation);
    void handleRefreshFailure(const QString &label, const RefreshFailure &failure);

    QCoro::Task<> saveSession();
    QCoro::Task<> noticeSlowKeyring(std::stop_token answered);
    QCoro::Task<> clearTokens();
    QCoro::Task<> adopt(TokenPair tokens, SessionGrant grant, std::optional<AuthUser> user);
    void setUser(std::optional<AuthUser> user);
    void scheduleRefresh();
    QCoro::Task<> refreshLoop(std::stop_token token);
    void setPersisted(bool persisted);

    Config m_config;
    AuthRequestSending &m_sender;
    AuthSessionStoring &m_keychain;
    Workspace &m_workspace;
    Scheduler &m_scheduler;

    std::optional<AuthUser> m_user;
    QString m_accessToken;
    QString m_refreshToken;
    SessionGrant m_grant = SessionGrant::password;
    bool m_persisted = true;
    // Bumped whenever the session is replaced or cleared, so a refresh that
    // started for an older session never overwrites a newer one.
    quint64 m_generation = 0;
    quint64 m_nextFlightID = 0;
    std::shared_ptr<Flight> m_inFlight;
    CancellableSlot m_refreshLoop;
    QPointer<OAuthLoopbackListener> m_signInListener;
    TaskTracker m_tasks;
};

} // namespace dravelin
