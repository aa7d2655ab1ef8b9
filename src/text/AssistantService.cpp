#include "text/AssistantService.h"

#include "account/AuthRequestSending.h"
#include "account/BackendRequest.h"
#include "account/TokenSource.h"
#include "core/Log.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QTimeZone>

namespace dravelin {

namespace {

AssistantError failure(AssistantError::Kind kind, QString message = {})
{
    return {kind, std::move(message), 0, {}};
}

} // namespace

AssistantService::AssistantService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Millis timeout)
    : m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_timeout(timeout)
{}

json::Json AssistantService::requestBody(const QString &query, const QString &timeZone, const QString &locale)
{
    json::Json body;
    body["query"] = query;
    if (!timeZone.isEmpty())
        body["timezone"] = timeZone;
    if (!locale.isEmpty())
        body["locale"] = locale;
    return body;
}

QCoro::Task<Expected<AssistantResult, AssistantError>> AssistantService::ask(QString question)
{
    const QString query = question.trimmed();
    if (query.isEmpty())
        co_return Unexpected{failure(AssistantError::Kind::emptyQuery)};
    TokenSource &tokens = m_tokens;
    AuthRequestSending &sender = m_sender;
    const QUrl endpoint = m_endpoint;
    const Millis timeout = m_timeout;
    const auto token = co_await tokens.currentAccessToken();
    if (!token || token->isEmpty())
        co_return Unexpected{failure(AssistantError::Kind::notAuthenticated)};
    HttpRequest request =
        backendJsonRequest("POST", endpoint, *token, timeout,
                           requestBody(query, QString::fromUtf8(QTimeZone::systemTimeZoneId()), QLocale().name()));
    QElapsedTimer timer;
    timer.start();
    const auto reply = co_await sender.send(std::move(request));
    if (!reply) {
        logs::error(logs::assistant(), QStringLiteral("Ask network error: %1").arg(reply.error().description));
        co_return Unexpected{failure(AssistantError::Kind::network, reply.error().description)};
    }
    if (reply->status == 401)
        co_return Unexpected{failure(AssistantError::Kind::unauthorized)};
    if (reply->status != 200) {
        co_return Unexpected{AssistantError{
            AssistantError::Kind::unexpectedStatus, {}, reply->status, QString::fromUtf8(reply->body.left(4096))}};
    }
    auto result = AssistantResponseParser::decode(reply->body);
    if (result)
        logs::info(logs::assistant(), QStringLiteral("Ask completed in %1 ms").arg(timer.elapsed()));
    co_return result;
}

} // namespace dravelin
