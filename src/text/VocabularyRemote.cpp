#include "text/VocabularyRemote.h"

#include "account/BackendRequest.h"
#include "core/Log.h"
#include "core/Scheduler.h"

#include <QStringDecoder>
#include <QUrlQuery>

namespace dravelin {

namespace {

constexpr Millis kTimeout{20000};
constexpr qsizetype kMaxReplyBytes = 4 * 1024 * 1024; // ten thousand terms and then some

void logError(const QString &m)
{
    logs::error(logs::vocabularyRemote(), m);
}

QString utf8(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    return decoder.hasError() ? QString() : text;
}

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces); // lower-case canonical form
}

// The message of a REST error body: "message", else "error", else "details",
// else the body itself, else "bad request".
QString restMessage(const QByteArray &body)
{
    if (const auto parsed = parseBackendReply(body)) {
        for (const char *key : {"message", "error", "details"}) {
            if (const auto text = json::optionalField<QString>(*parsed, key))
                return *text;
        }
    }
    const QString text = utf8(body);
    return text.isEmpty() ? QStringLiteral("bad request") : text;
}

} // namespace

VocabularyRemote::VocabularyRemote(QUrl endpoint, QByteArray apiKey, TokenSource &tokens, AuthRequestSending &sender,
                                   Scheduler &scheduler)
    : m_endpoint(std::move(endpoint))
    , m_apiKey(std::move(apiKey))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_scheduler(scheduler)
{}

VocabularyRemote::Result<QByteArray> VocabularyRemote::send(Call call) const
{
    // Everything used after a suspension is a local copy or a long-lived reference.
    QUrl url = m_endpoint;
    const QByteArray apiKey = m_apiKey;
    AuthRequestSending &sender = m_sender;
    const auto token = co_await m_tokens.currentAccessToken();
    if (!token || token->isEmpty()) {

        logError(QStringLiteral("No access token available"));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::notAuthenticated, {}, 0, {}}};
    }
    QUrlQuery query(url);
    for (const auto &[key, value] : call.query)
        query.addQueryItem(key, value);
    url.setQuery(query);
    HttpRequest request =
        backendJsonRequest(call.method, url, *token, kTimeout, call.body.value_or(json::Json()), apiKey);
    if (!call.body)
        request.body.clear();
    if (call.representation)
        request.headers.append(qMakePair(QByteArray("Prefer"), QByteArray("return=representation")));

    const auto reply = co_await sender.send(std::move(request));
    if (!reply) {
        logError(QStringLiteral("Network error: %1").arg(reply.error().description));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::network, reply.error().description, 0, {}}};
    }
    const int status = reply->status;
    if (status == 0)
        co_return Unexpected{
            VocabularyError{VocabularyError::Kind::network, QStringLiteral("No HTTP response"), 0, {}}};
    if (status == call.expected || (status >= 200 && status <= 204))
        co_return reply->body;
    if (status == 400 || status == 409 || status == 422) {
        const QString message = restMessage(reply->body);
        logError(QStringLiteral("%1 rejected: %2").arg(status).arg(message));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::invalid, message, 0, {}}};
    }
    if (status == 401) {
        logError(QStringLiteral("401 unauthorized"));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::unauthorized, {}, 0, {}}};
    }
    if (status == 403) {
        logError(QStringLiteral("403 forbidden — RLS refused the row"));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::forbidden, {}, 0, {}}};
    }
    if (status == 404) {
        logError(QStringLiteral("404 — vocabulary_terms not reachable"));
        co_return Unexpected{VocabularyError{VocabularyError::Kind::missingTable, {}, 0, {}}};
    }
    const QString body = utf8(reply->body);
    logError(QStringLiteral("Unexpected status %1: %2").arg(status).arg(body));
    co_return Unexpected{VocabularyError{VocabularyError::Kind::unexpectedStatus, {}, status, body}};
}

Expected<std::vector<VocabularyTerm>, VocabularyError> VocabularyRemote::decodeRows(const QByteArray &body) const
{
    auto failed = [&](const QString &why) {
        logError(QStringLiteral("Decode failed: %1 body=%2").arg(why, utf8(body.left(4096))));
        return Unexpected{VocabularyError{VocabularyError::Kind::decodingFailed, why, 0, {}}};
    };
    if (body.trimmed().isEmpty())
        return std::vector<VocabularyTerm>{};
    const auto parsed = parseBackendReply(body, kMaxReplyBytes);
    if (!parsed)
        return failed(parsed.error());
    if (!parsed->is_array())
        return failed(QStringLiteral("expected an array of rows"));
    std::vector<VocabularyTerm> rows;
    for (const auto &row : *parsed) {
        const auto id = json::requiredField<QString>(row, "id");
        if (!id)
            return failed(id.error().message);
        const QUuid uuid = QUuid::fromString(*id);
        if (uuid.isNull())
            return failed(QStringLiteral("id is not a UUID"));
        const auto term = json::requiredField<QString>(row, "term");
        if (!term)
            return failed(term.error().message);
        const auto created =
            PostgrestTimestamp::parse(json::optionalField<QString>(row, "created_at").value_or(QString()));
        rows.push_back(VocabularyTerm{uuid, *term, json::optionalField<QString>(row, "replacement"),
                                      json::optionalField<bool>(row, "is_favorite").value_or(false),
                                      created.value_or(m_scheduler.wallNow())});
    }
    return rows;
}

VocabularyRemote::Result<std::vector<VocabularyTerm>> VocabularyRemote::fetchAll() const
{
    const VocabularyRemote copy = *this;
    Call call{"GET",
              {{QStringLiteral("select"), QStringLiteral("*")},
               {QStringLiteral("order"), QStringLiteral("is_favorite.desc,term.asc")}},
              std::nullopt,
              false,
              200};
    const auto body = co_await copy.send(std::move(call));
    if (!body)
        co_return Unexpected{body.error()};
    co_return copy.decodeRows(*body);
}

VocabularyRemote::Result<std::optional<VocabularyTerm>>
VocabularyRemote::insert(QString userId, QString term, std::optional<QString> replacement, bool isFavorite) const
{
    const VocabularyRemote copy = *this;
    json::Json row;
    row["user_id"] = userId;
    row["term"] = term;
    json::putOptional(row, "replacement", replacement);
    row["is_favorite"] = isFavorite;
    Call call{"POST", {}, row, true, 201};
    co_return co_await copy.sendForRow(std::move(call));
}

VocabularyRemote::Result<std::optional<VocabularyTerm>> VocabularyRemote::sendForRow(Call call) const
{
    const VocabularyRemote copy = *this;
    const auto body = co_await copy.send(std::move(call));
    if (!body)
        co_return Unexpected{body.error()};
    auto rows = copy.decodeRows(*body);
    if (!rows)
        co_return Unexpected{rows.error()};
    co_return rows->empty() ? std::nullopt : std::optional<VocabularyTerm>(rows->front());
}

VocabularyRemote::Result<std::optional<VocabularyTerm>> VocabularyRemote::update(QUuid id,
                                                                                 VocabularyUpdate changes) const
{
    const VocabularyRemote copy = *this;
    json::Json patch = json::Json::object();
    json::putOptional(patch, "term", changes.term);
    if (changes.replacement)
        patch["replacement"] = *changes.replacement ? json::Json(**changes.replacement) : json::Json(nullptr);
    json::putOptional(patch, "is_favorite", changes.isFavorite);
    Call call{"PATCH", {{QStringLiteral("id"), QStringLiteral("eq.") + idText(id)}}, patch, true, 200};
    co_return co_await copy.sendForRow(std::move(call));
}

VocabularyRemote::Result<bool> VocabularyRemote::remove(QUuid id) const
{
    const VocabularyRemote copy = *this;
    Call call{"DELETE", {{QStringLiteral("id"), QStringLiteral("eq.") + idText(id)}}, std::nullopt, false, 204};
    const auto body = co_await copy.send(std::move(call));
    if (!body)
        co_return Unexpected{body.error()};
    co_return true;
}

} // namespace dravelin
