#pragma once

#include "core/Expected.h"
#include "core/Json.h"
#include "core/Scheduler.h"

#include <QString>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>

namespace dravelin {

class AuthRequestSending;
class TokenSource;

enum class RewriteStyle {
    natural,
    concise,
    formal,
    casual
};
QString rewriteStyleName(RewriteStyle style);

// Why a rewrite gave no text: the backend cases every client shares (in
// BackendError's order, and read as its texts, a provider failure as
// "Rewrite failed: " and the message), then cancelled and empty.
struct RewriteError
{
    enum class Kind {
        providerFailure,
        decodingFailed,
        network,
        unexpectedStatus,
        notAuthenticated,
        unauthorized,
        cancelled,
        empty
    };
    Kind kind = Kind::network;
    QString message; // providerFailure, decodingFailed, network
    int status = 0;  // unexpectedStatus
    QString body;    // unexpectedStatus: for logs, never shown

    QString description() const;
    bool operator==(const RewriteError &) const = default;
};

// The rewrite client as the selection flows see it.
class Rewriting
{
public:
    virtual ~Rewriting() = default;
    // The text rewritten in `style`, or by `prompt` (a transform's instruction).
    virtual QCoro::Task<Expected<QString, RewriteError>> sendRewrite(QString text, RewriteStyle style,
                                                                     std::optional<QString> prompt) = 0;
};

// The backend's rewrite function. A connection that drops before the reply
// (a stale keep-alive connection, typically) is tried once more after 200 ms.
class RewriteService final : public Rewriting
{
public:
    static constexpr Millis kTimeout{60000};
    static constexpr Millis kRetryDelay{200};

    // `timeout` bounds each request (kTimeout unless a caller knows better).
    RewriteService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Scheduler &scheduler,
                   Millis timeout = kTimeout);

    QCoro::Task<Expected<QString, RewriteError>> sendRewrite(QString text, RewriteStyle style,
                                                             std::optional<QString> prompt) override;

    // The request body: text, style, prompt (when given), request_id.
    static json::Json requestBody(const QString &text, RewriteStyle style, const std::optional<QString> &prompt,
                                  const QUuid &requestID);
    // What a reply with `status` and `body` means.
    static Expected<QString, RewriteError> readReply(int status, const QByteArray &body);

private:
    QUrl m_endpoint;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    Scheduler &m_scheduler;
    Millis m_timeout;
};

} // namespace dravelin
