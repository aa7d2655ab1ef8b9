#pragma once

#include "core/Expected.h"
#include "core/Json.h"
#include "core/Scheduler.h"
#include "text/AssistantResponse.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>
#include <variant>

namespace dravelin {

class AuthRequestSending;
class TokenSource;

// The assistant as the Ask flow sees it.
class AssistantAnswering
{
public:
    virtual ~AssistantAnswering() = default;
    virtual QCoro::Task<Expected<AssistantResult, AssistantError>> ask(QString question) = 0;
};

// The backend's ask function.
class AssistantService final : public AssistantAnswering
{
public:
    static constexpr Millis kTimeout{30000};

    // `timeout` bounds each request (kTimeout unless a caller knows better).
    AssistantService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Millis timeout = kTimeout);

    QCoro::Task<Expected<AssistantResult, AssistantError>> ask(QString question) override;

    // query, then timezone and locale when known.
    static json::Json requestBody(const QString &query, const QString &timeZone, const QString &locale);

private:
    QUrl m_endpoint;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    Millis m_timeout;
};

} // namespace dravelin
