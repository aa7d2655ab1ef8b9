#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

// PKCE (RFC 7636, S256) and state values for browser sign-in.
namespace OAuthSecurity {
// `byteCount` random bytes, unpadded base64url: 48 bytes give 64 characters.
QString randomURLSafeString(int byteCount);
// Unpadded base64url SHA-256 of the verifier.
QString challenge(const QString &verifier);
} // namespace OAuthSecurity

struct OAuthAuthorizationRequest
{
    QUrl authorizationEndpoint;
    QString clientID;
    QUrl redirectURI;
    QString state;
    QString codeChallenge;

    // The endpoint with response_type, client_id, redirect_uri, state,
    // code_challenge, code_challenge_method=S256 and scope "email profile".
    std::optional<QUrl> url() const;
};

// application/x-www-form-urlencoded, pairs sorted by key.
namespace OAuthFormEncoding {
std::optional<QByteArray> encode(const QMap<QString, QString> &pairs);
} // namespace OAuthFormEncoding

struct OAuthLoopbackCallback
{
    std::optional<QString> code;
    std::optional<QString> state;
    std::optional<QString> error;
    std::optional<QString> errorDescription;

    bool operator==(const OAuthLoopbackCallback &) const = default;
};

// Reads the browser's request on the loopback listener.
namespace OAuthLoopbackParser {
enum class Outcome {
    callback,
    notCallback,
    malformed
};
struct Result
{
    Outcome outcome = Outcome::malformed;
    OAuthLoopbackCallback callback;
};
// The request up to the end of its headers: a GET of /oauth/callback gives
// its query items; another path is "not a callback"; anything else malformed.
Result parse(const QByteArray &request);
} // namespace OAuthLoopbackParser

} // namespace dravelin
