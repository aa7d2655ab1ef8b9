#include "auth/Jwt.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>

namespace dravelin::server {

QByteArray base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

std::optional<QByteArray> fromBase64Url(const QByteArray &text)
{
    auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

QByteArray randomToken(int byteCount)
{
    QByteArray bytes(byteCount, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), byteCount / 4);
    for (int i = byteCount / 4 * 4; i < byteCount; ++i)
        bytes[i] = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return base64Url(bytes);
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray pkceChallenge(const QByteArray &verifier)
{
    return base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256));
}

namespace {

QByteArray signature(const QByteArray &signingInput, const QByteArray &secret)
{
    return base64Url(QMessageAuthenticationCode::hash(signingInput, secret, QCryptographicHash::Sha256));
}

// Compares without leaking where the first difference is.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

QByteArray signJwt(const json::Json &claims, const QByteArray &secret)
{
    const QByteArray header = base64Url(R"({"alg":"HS256","typ":"JWT"})");
    const QByteArray input = header + '.' + base64Url(json::encode(claims));
    return input + '.' + signature(input, secret);
}

Expected<json::Json, QString> verifyJwt(const QByteArray &token, const QByteArray &secret, qint64 nowSeconds)
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return Unexpected{QStringLiteral("malformed token")};
    const auto headerBytes = fromBase64Url(parts[0]);
    const auto header =
        headerBytes ? json::parse(*headerBytes) : Expected<json::Json, json::Error>(Unexpected{json::Error{}});
    if (!header || json::optionalField<QString>(*header, "alg") != QStringLiteral("HS256"))
        return Unexpected{QStringLiteral("unsupported token")};
    if (!constantTimeEquals(signature(parts[0] + '.' + parts[1], secret), parts[2]))
        return Unexpected{QStringLiteral("invalid token signature")};
    const auto payloadBytes = fromBase64Url(parts[1]);
    if (!payloadBytes)
        return Unexpected{QStringLiteral("malformed token")};
    auto claims = json::parse(*payloadBytes);
    if (!claims || !claims->is_object())
        return Unexpected{QStringLiteral("malformed token")};
    const auto exp = json::optionalField<qint64>(*claims, "exp");
    if (!exp || *exp <= nowSeconds)
        return Unexpected{QStringLiteral("token has expired")};
    if (claims->contains("nbf")) {
        const auto nbf = json::optionalField<qint64>(*claims, "nbf");
        if (!nbf || *nbf > nowSeconds)
            return Unexpected{QStringLiteral("token is not valid yet")};
    }
    // "aud" is one string or a list of them.
    const json::Json &aud = claims->value("aud", json::Json());
    const bool forUs =
        aud.is_array() ? std::any_of(aud.begin(), aud.end(), [](const json::Json &a) { return a == kTokenAudience; })
                       : aud == kTokenAudience;
    if (!forUs)
        return Unexpected{QStringLiteral("token is for another audience")};
    return std::move(claims.value());
}

} // namespace dravelin::server
