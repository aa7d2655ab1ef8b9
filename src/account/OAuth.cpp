#include "account/OAuth.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QUrlQuery>

#include <algorithm>

namespace dravelin {

namespace {
QString base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}
} // namespace

QString OAuthSecurity::randomURLSafeString(int byteCount)
{
    QByteArray bytes(byteCount, Qt::Uninitialized);
    for (int i = 0; i < byteCount; ++i)
        bytes[i] = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return base64Url(bytes);
}

QString OAuthSecurity::challenge(const QString &verifier)
{
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

std::optional<QUrl> OAuthAuthorizationRequest::url() const
{
    if (!authorizationEndpoint.isValid() || authorizationEndpoint.isRelative())
        return std::nullopt;
    QUrl url = authorizationEndpoint;
    QUrlQuery query;
    auto add = [&](const char *key, const QString &value) {
        query.addQueryItem(QString::fromLatin1(key), QString::fromUtf8(QUrl::toPercentEncoding(value)));
    };
    add("response_type", QStringLiteral("code"));
    add("client_id", clientID);
    add("redirect_uri", redirectURI.toString());
    add("state", state);
    add("code_challenge", codeChallenge);
    add("code_challenge_method", QStringLiteral("S256"));
    add("scope", QStringLiteral("email profile"));
    url.setQuery(query);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QByteArray> OAuthFormEncoding::encode(const QMap<QString, QString> &pairs)
{
    QByteArrayList parts;
    for (auto it = pairs.cbegin(); it != pairs.cend(); ++it) // QMap iterates in key order
        parts << QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join('&');
}

OAuthLoopbackParser::Result OAuthLoopbackParser::parse(const QByteArray &request)
{
    Result result;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(request);
    if (decoder.hasError())
        return result;
    const QString requestLine = text.left(text.indexOf(QStringLiteral("\r\n")));
    // Exactly "GET <target> HTTP/1.x": one space between the parts, no
    // control characters.
    const bool control = std::any_of(requestLine.cbegin(), requestLine.cend(),
                                     [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    const QStringList parts = requestLine.split(u' ');
    if (control || parts.size() != 3 || parts[0] != u"GET" || !parts[2].startsWith(QStringLiteral("HTTP/1.")))
        return result;
    const QString &target = parts[1];
    if (!target.startsWith(u'/') || target.startsWith(QStringLiteral("//")))
        return result;
    const QUrl url(QStringLiteral("http://127.0.0.1") + target);
    if (!url.isValid())
        return result;
    if (url.path() != u"/oauth/callback") {
        result.outcome = Outcome::notCallback;
        return result;
    }
    result.outcome = Outcome::callback;
    // The first item of a name wins; an item without "=" has no value and
    // counts as absent.
    const QStringList items = url.query(QUrl::FullyEncoded).split(u'&', Qt::SkipEmptyParts);
    auto first = [&](const char *name) -> std::optional<QString> {
        for (const QString &item : items) {
            const qsizetype eq = item.indexOf(u'=');
            if (eq > 0 && QUrl::fromPercentEncoding(item.left(eq).toUtf8()) == QLatin1String(name))
                return QUrl::fromPercentEncoding(item.mid(eq + 1).toUtf8());
        }
        return std::nullopt;
    };
    result.callback.code = first("code");
    result.callback.state = first("state");
    result.callback.error = first("error");
    result.callback.errorDescription = first("error_description");
    return result;
}

} // namespace dravelin
