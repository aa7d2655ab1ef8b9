#pragma once

#include "account/AuthRequestSending.h"
#include "core/Json.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace dravelin {

// A request to the backend on behalf of the signed-in user: the bearer access
// token, and the project's public API key for the endpoints that want it
// (none when `apiKey` is empty).
HttpRequest backendRequest(QByteArray method, QUrl url, const QString &accessToken, Millis timeout,
                           const QByteArray &apiKey = {});

// The same with a JSON body and its Content-Type.
HttpRequest backendJsonRequest(QByteArray method, QUrl url, const QString &accessToken, Millis timeout,
                               const json::Json &body, const QByteArray &apiKey = {});

// A reply body read as JSON, refused unread when it is larger than `limit`
// bytes (a backend answer is small; anything bigger is not one).
Expected<json::Json, QString> parseBackendReply(const QByteArray &body, qsizetype limit = 256 * 1024);

} // namespace dravelin
