#pragma once

#include "core/Expected.h"
#include "core/Json.h"

#include <QByteArray>

namespace dravelin::server {

// Unpadded base64url (RFC 4648 §5).
QByteArray base64Url(const QByteArray &bytes);
std::optional<QByteArray> fromBase64Url(const QByteArray &text);
// `byteCount` bytes from the system's cryptographic generator, base64url.
QByteArray randomToken(int byteCount);
// Hex SHA-256, for storing tokens without storing the tokens.
QByteArray sha256Hex(const QByteArray &bytes);
// The PKCE S256 challenge of a verifier.
QByteArray pkceChallenge(const QByteArray &verifier);

// HS256 JSON Web Tokens.
QByteArray signJwt(const json::Json &claims, const QByteArray &secret);
// The audience of the access tokens this server issues (their "aud").
inline constexpr char kTokenAudience[] = "authenticated";
// The claims of a token whose signature checks out, whose "exp" is after
// `nowSeconds`, whose "nbf" (when present) is not after it, and whose "aud"
// names kTokenAudience; otherwise the reason it was refused.
Expected<json::Json, QString> verifyJwt(const QByteArray &token, const QByteArray &secret, qint64 nowSeconds);

} // namespace dravelin::server
