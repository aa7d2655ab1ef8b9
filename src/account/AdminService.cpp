#include "account/AdminService.h"

#include "account/BackendRequest.h"
#include "core/Log.h"

#include <QPointer>
#include <QStringDecoder>

namespace dravelin {

namespace {

constexpr Millis kRequestTimeout{60000};
// A dashboard of many users and recordings is bigger than the usual reply.
constexpr qsizetype kMaxReplyBytes = 8 * 1024 * 1024;

// The message of a failed request: the error envelope's text, or else the
// body itself when it is UTF-8.
QString failureMessage(const QByteArray &body)
{
    if (const auto parsed = parseBackendReply(body, kMaxReplyBytes); parsed && parsed->is_object()) {
        if (const auto error = json::optionalField<QString>(*parsed, "error"))
            return *error;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    return decoder.hasError() ? QString() : text;
}

} // namespace

json::Json AdminRequest::toJson() const
{
    json::Json body;
    body["action"] = action;
    json::putOptional(body, "userId", userId);
    json::putOptional(body, "enabled", enabled);
    json::putOptional(body, "transcriptionId", transcriptionId);
    if (qualityCategory)
        body["qualityCategory"] = wireValue(*qualityCategory);
    json::putOptional(body, "qualityReason", qualityReason);
    return body;
}

QString AdminServiceError::errorDescription() const
{
    switch (kind) {
    case Kind::accessDenied:
        return message.isEmpty() ? QStringLiteral("Administrator access is required.") : message;
    case Kind::server:
        return message.isEmpty() ? QStringLiteral("The admin service could not complete the request.") : message;
    case Kind::decoding:
        return QStringLiteral("The admin service returned an unexpected response.");
    case Kind::network:
        return QStringLiteral("Network error: ") + message;
    case Kind::notAuthenticated:
        return QStringLiteral("Your session has expired. Sign in again to continue.");
    }
    return {};
}

AdminService::AdminService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, QByteArray apiKey,
                           QObject *parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_apiKey(std::move(apiKey))
{}

QCoro::Task<Expected<json::Json, AdminServiceError>> AdminService::invoke(AdminRequest request)
{
    using Kind = AdminServiceError::Kind;
    TokenSource &tokens = m_tokens;
    AuthRequestSending &sender = m_sender;
    const QUrl endpoint = m_endpoint;
    const QByteArray apiKey = m_apiKey;
    const auto token = co_await tokens.currentAccessToken();
    if (!token || token->isEmpty())
        co_return Unexpected{AdminServiceError{Kind::notAuthenticated, 0, {}}};
    const auto reply =
        co_await sender.send(backendJsonRequest("POST", endpoint, *token, kRequestTimeout, request.toJson(), apiKey));
    if (!reply)
        co_return Unexpected{AdminServiceError{Kind::network, 0, reply.error().description}};
    if (reply->status < 200 || reply->status > 299) {
        const QString message = failureMessage(reply->body);
        if (reply->status == 401)
            co_return Unexpected{AdminServiceError{Kind::notAuthenticated, 401, message}};
        if (reply->status == 403)
            co_return Unexpected{AdminServiceError{Kind::accessDenied, 403, message}};
        co_return Unexpected{AdminServiceError{Kind::server, reply->status, message}};
    }
    auto body = parseBackendReply(reply->body, kMaxReplyBytes);
    if (!body)
        co_return Unexpected{AdminServiceError{Kind::decoding, 0, body.error()}};
    co_return std::move(body.value());
}

QCoro::Task<> AdminService::refresh()
{
    QPointer<AdminService> self(this);
    setLoading(true);
    setErrorMessage(std::nullopt);
    const auto reply = co_await invoke(AdminRequest::dashboard());
    if (!self)
        co_return;
    if (!reply) {
        present(reply.error());
    } else if (auto data = AdminDashboardData::fromJson(*reply); !data) {
        present(AdminServiceError{AdminServiceError::Kind::decoding, 0, data.error()});
    } else {
        m_data = std::move(data.value());
        logs::info(logs::admin(), QStringLiteral("Admin dashboard refreshed"));
        Q_EMIT dataChanged();
    }
    setLoading(false);
}

QCoro::Task<bool> AdminService::mutate(QString userID, AdminRequest request)
{
    if (m_actionUserID)
        co_return false;
    QPointer<AdminService> self(this);
    setActionUserID(userID);
    setErrorMessage(std::nullopt);
    const auto reply = co_await invoke(std::move(request));
    if (!self)
        co_return false;
    bool done = false;
    if (!reply) {
        present(reply.error());
    } else if (const auto ok = json::requiredField<bool>(*reply, "ok"); !ok) {
        present(AdminServiceError{AdminServiceError::Kind::decoding, 0, ok.error().message});
    } else if (!*ok) {
        present(AdminServiceError{AdminServiceError::Kind::server, 500,
                                  QStringLiteral("The admin operation was not confirmed.")});
    } else {
        done = true;
        co_await refresh();
        if (!self)
            co_return true;
    }
    setActionUserID(std::nullopt);
    co_return done;
}

QCoro::Task<Expected<std::optional<QUrl>, AdminServiceError>> AdminService::recordingAudioURL(QString transcriptionID)
{
    const auto reply = co_await invoke(AdminRequest::recordingAudio(std::move(transcriptionID)));
    if (!reply)
        co_return Unexpected{reply.error()};
    const auto available = json::requiredField<bool>(*reply, "audioAvailable");
    if (!available)
        co_return Unexpected{AdminServiceError{AdminServiceError::Kind::decoding, 0, available.error().message}};
    const auto url = json::optionalField<QString>(*reply, "url");
    const QUrl parsed = url ? QUrl(*url, QUrl::StrictMode) : QUrl();
    if (!*available || !parsed.isValid() || parsed.scheme().isEmpty())
        co_return std::optional<QUrl>();
    co_return std::optional<QUrl>(parsed);
}

void AdminService::present(const AdminServiceError &error)
{
    const QString text = error.errorDescription();
    logs::error(logs::admin(), QStringLiteral("Admin request failed: %1").arg(text));
    setErrorMessage(text);
}

void AdminService::setLoading(bool loading)
{
    if (std::exchange(m_loading, loading) != loading)
        Q_EMIT isLoadingChanged();
}

void AdminService::setActionUserID(std::optional<QString> id)
{
    if (m_actionUserID != id) {
        m_actionUserID = std::move(id);
        Q_EMIT actionUserIDChanged();
    }
}

void AdminService::setErrorMessage(std::optional<QString> message)
{
    if (m_errorMessage != message) {
        m_errorMessage = std::move(message);
        Q_EMIT errorMessageChanged();
    }
}

} // namespace dravelin
