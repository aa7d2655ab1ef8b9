#pragma once

#include "core/Json.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace dravelin {

// What went wrong talking to the authentication service, with the text the
// account screens show.
struct AuthError
{
    enum class Kind {
        weakPassword,
        validationFailed,
        rateLimited,
        network,
        server,
        decoding,
        uploadFailed,
        oauth,
        invalidCredentials,
        emailNotConfirmed,
        emailAlreadyRegistered,
        signUpsDisabled,
        invalidResetCode,
        notSignedIn,
        browserLoginUnavailable,
        browserLoginCancelled,
        invalidOAuthState,
        oauthConfiguration,
    };

    Kind kind = Kind::server;
    QString message;
    int status = 0;

    QString description() const;
    bool operator==(const AuthError &) const = default;
};

// Which auth endpoint answered: the password-grant ("standard") ones treat a
// 400/401 as wrong credentials; the OAuth ones do not.
enum class AuthEndpoint {
    standard,
    oauth
};

// Maps an auth server error reply (GoTrue-style body) to an AuthError.
AuthError authErrorFor(int status, const QByteArray &body, AuthEndpoint endpoint);

// The "exp" of a JWT access token, or nothing when it cannot be read.
std::optional<QDateTime> tokenExpiry(const QString &token);

// The signed-in user's profile.
struct AuthUser
{
    QString id;
    QString email;
    std::optional<QString> firstName;
    std::optional<QString> lastName;
    std::optional<QString> avatarURL;
    std::optional<QString> avatarPreset;
    std::optional<QString> role;

    bool isAdmin() const { return role == QStringLiteral("admin"); }
    bool operator==(const AuthUser &) const = default;

    // From the auth service's user object (id, email, user_metadata, app_metadata).
    static std::optional<AuthUser> fromUserResponse(const json::Json &user);
    // The keychain form, keys "id", "email", "firstName", "lastName", "avatarURL", "avatarPreset", "role".
    json::Json toJson() const;
    static std::optional<AuthUser> fromJson(const json::Json &json);
};

} // namespace dravelin
