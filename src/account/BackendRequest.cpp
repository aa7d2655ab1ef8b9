#include "account/BackendRequest.h"

namespace dravelin {

HttpRequest backendRequest(QByteArray method, QUrl url, const QString &accessToken, Millis timeout,
                           const QByteArray &apiKey)
{
    HttpRequest request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.timeout = timeout;
    request.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer ") + accessToken.toUtf8()));
    if (!apiKey.isEmpty())
        request.headers.append(qMakePair(QByteArray("apikey"), apiKey));
    return request;
}

HttpRequest backendJsonRequest(QByteArray method, QUrl url, const QString &accessToken, Millis timeout,
                               const json::Json &body, const QByteArray &apiKey)
{
    HttpRequest request = backendRequest(std::move(method), std::move(url), accessToken, timeout, apiKey);
    request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    request.body = json::encode(body);
    return request;
}

Expected<json::Json, QString> parseBackendReply(const QByteArray &body, qsizetype limit)
{
    if (body.size() > limit)
        return Unexpected{QStringLiteral("reply of %1 bytes is over the %2-byte limit").arg(body.size()).arg(limit)};
    auto parsed = json::parse(body);
    if (!parsed)
        return Unexpected{parsed.error().message};
    return std::move(parsed.value());
}

} // namespace dravelin
