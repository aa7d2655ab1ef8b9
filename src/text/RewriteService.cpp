#include "text/RewriteService.h"

#include "account/AuthRequestSending.h"
#include "account/BackendError.h"
#include "account/BackendRequest.h"
#include "account/TokenSource.h"
#include "core/Log.h"
#include "stt/TranscriptionTypes.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>

namespace dravelin {

namespace {

constexpr qsizetype kMaxReplyBytes = 1024 * 1024;

void info(const QString &message)
{
    logs::info(logs::rewrite(), message);
}

void error(const QString &message)
{
    logs::error(logs::rewrite(), message);
}

RewriteError failure(RewriteError::Kind kind, QString message = {})
{
    return {kind, std::move(message), 0, {}};
}

} // namespace

QString rewriteStyleName(RewriteStyle style)
{
    switch (style) {
    case RewriteStyle::natural:
        return QStringLiteral("natural");
    case RewriteStyle::concise:
        return QStringLiteral("concise");
    case RewriteStyle::formal:
        return QStringLiteral("formal");
    case RewriteStyle::casual:
        return QStringLiteral("casual");
    }
    return QStringLiteral("natural");
}

// The shared cases keep BackendError's order, so they read as every client's.
static_assert(static_cast<int>(RewriteError::Kind::providerFailure) ==
                  static_cast<int>(BackendError::Kind::providerFailure) &&
              static_cast<int>(RewriteError::Kind::unauthorized) == static_cast<int>(BackendError::Kind::unauthorized));

QString RewriteError::description() const
{
    if (kind == Kind::cancelled)
        return QStringLiteral("Rewrite cancelled");
    if (kind == Kind::empty)
        return QStringLiteral("Rewrite produced no text");
    return BackendError{static_cast<BackendError::Kind>(kind), message, status, body,
                        QStringLiteral("Rewrite failed: ")}
        .description();
}

RewriteService::RewriteService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Scheduler &scheduler,
                               Millis timeout)
    : m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_scheduler(scheduler)
    , m_timeout(timeout)
{}

json::Json RewriteService::requestBody(const QString &text, RewriteStyle style, const std::optional<QString> &prompt,
                                       const QUuid &requestID)
{
    json::Json body;
    body["text"] = text;
    body["style"] = rewriteStyleName(style);
    json::putOptional(body, "prompt", prompt);
    body["request_id"] = requestID.toString(QUuid::WithoutBraces).toUpper();
    return body;
}

Expected<QString, RewriteError> RewriteService::readReply(int status, const QByteArray &body)
{
    switch (status) {
    case 200: {
        const auto parsed = parseBackendReply(body, kMaxReplyBytes);
        const auto text = parsed ? json::requiredField<QString>(*parsed, "text")
                                 : Expected<QString, json::Error>(Unexpected{json::Error{parsed.error()}});
        if (!text) {
            error(QStringLiteral("Decode failed: %1 body=%2")
                      .arg(text.error().message, QString::fromUtf8(body.left(4096))));
            return Unexpected{failure(RewriteError::Kind::decodingFailed, text.error().message)};
        }
        const QString trimmed = text->trimmed();
        if (trimmed.isEmpty())
            return Unexpected{failure(RewriteError::Kind::empty)};
        return trimmed;
    }
    case 400: {
        const QString message = errorEnvelopeMessage(body, QStringLiteral("bad request"));
        error(QStringLiteral("400 bad request: %1").arg(message));
        return Unexpected{failure(RewriteError::Kind::providerFailure, message)};
    }
    case 401:
        error(QStringLiteral("401 unauthorized"));
        return Unexpected{failure(RewriteError::Kind::unauthorized)};
    case 502: {
        const QString message = errorEnvelopeMessage(body, QStringLiteral("provider failed"));
        error(QStringLiteral("502 provider failure: %1").arg(message));
        return Unexpected{failure(RewriteError::Kind::providerFailure, message)};
    }
    default: {
        const QString text = QString::fromUtf8(body.left(4096));
        error(QStringLiteral("Unexpected status %1: %2").arg(status).arg(text));
        return Unexpected{RewriteError{RewriteError::Kind::unexpectedStatus, {}, status, text}};
    }
    }
}

QCoro::Task<Expected<QString, RewriteError>> RewriteService::sendRewrite(QString text, RewriteStyle style,
                                                                         std::optional<QString> prompt)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        co_return Unexpected{failure(RewriteError::Kind::empty)};
    // Everything the coroutine needs after its first wait is copied first.
    TokenSource &tokens = m_tokens;
    AuthRequestSending &sender = m_sender;
    Scheduler &scheduler = m_scheduler;
    const QUrl endpoint = m_endpoint;
    const Millis timeout = m_timeout;
    const auto token = co_await tokens.currentAccessToken();
    if (!token || token->isEmpty()) {
        info(QStringLiteral("No access token available"));
        co_return Unexpected{failure(RewriteError::Kind::notAuthenticated)};
    }
    const HttpRequest request =
        backendJsonRequest("POST", endpoint, *token, timeout, requestBody(trimmed, style, prompt, QUuid::createUuid()));
    QElapsedTimer timer;
    timer.start();
    auto reply = co_await sender.send(request);
    if (!reply && reply.error().connectionLost) {
        info(QStringLiteral("Rewrite request lost connection (code=%1); retrying once").arg(reply.error().description));
        co_await scheduler.sleep(kRetryDelay);
        reply = co_await sender.send(request);
        if (!reply) {
            error(QStringLiteral("Rewrite retry network error: %1").arg(reply.error().description));
            co_return Unexpected{failure(RewriteError::Kind::network, reply.error().description)};
        }
    } else if (!reply) {
        error(QStringLiteral("Rewrite request network error: %1").arg(reply.error().description));
        co_return Unexpected{failure(RewriteError::Kind::network, reply.error().description)};
    }
    auto result = readReply(reply->status, reply->body);
    if (result) {
        info(QStringLiteral("Rewrote %1 → %2 chars in %3 ms (mode=%4)")
                 .arg(trimmed.size())
                 .arg(result->size())
                 .arg(timer.elapsed())
                 .arg(prompt ? QStringLiteral("custom") : rewriteStyleName(style)));
    }
    co_return result;
}

} // namespace dravelin
