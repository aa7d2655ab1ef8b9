#include "llm/OpenAiChatModel.h"

#include "core/Json.h"
#include "core/Log.h"

#include <QNetworkReply>
#include <QPointer>

#include <qcoro/qcoronetworkreply.h>

#include <stop_token>

namespace dravelin::server {

namespace {

constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;
constexpr Millis kWantedPoll{250};

QCoro::Task<> abortWhenUnwanted(QPointer<QNetworkReply> reply, std::function<bool()> stillWanted, Scheduler &scheduler,
                                std::stop_token done)
{
    while (!done.stop_requested()) {
        co_await scheduler.sleep(kWantedPoll, done);
        if (!done.stop_requested() && reply && !stillWanted()) {
            reply->abort();
            co_return;
        }
    }
}

std::optional<QString> errorMessage(const QByteArray &body)
{
    const auto parsed = json::parse(body.left(64 * 1024));
    if (!parsed || !parsed->is_object())
        return std::nullopt;
    if (const auto it = parsed->find("error"); it != parsed->end()) {
        if (const auto message = json::optionalField<QString>(*it, "message"))
            return message;
        if (it->is_string())
            return QString::fromStdString(it->get<std::string>());
    }
    return std::nullopt;
}

} // namespace

OpenAiChatModel::OpenAiChatModel(Settings settings, Scheduler &scheduler)
    : m_settings(std::move(settings))
    , m_scheduler(scheduler)
{}

Expected<Generation, QString> OpenAiChatModel::parseReply(const QByteArray &body, bool streamed)
{
    Generation generation;
    const auto usage = [&generation](const json::Json &object) {
        if (const auto it = object.find("usage"); it != object.end() && it->is_object()) {
            generation.promptTokens = json::optionalField<int>(*it, "prompt_tokens").value_or(0);
            generation.generatedTokens = json::optionalField<int>(*it, "completion_tokens").value_or(0);
        }
    };
    if (!streamed) {
        const auto parsed = json::parse(body);
        if (!parsed)
            return Unexpected{QStringLiteral("the reply is not JSON: %1").arg(parsed.error().message)};
        const auto choices = parsed->is_object() ? parsed->find("choices") : parsed->end();
        if (choices == parsed->end() || !choices->is_array() || choices->empty())
            return Unexpected{QStringLiteral("the reply has no choices")};
        const auto &message = (*choices)[0].is_object() ? (*choices)[0].value("message", json::Json()) : json::Json();
        const auto content = json::optionalField<QString>(message, "content");
        if (!content)
            return Unexpected{QStringLiteral("the reply's first choice has no message content")};
        generation.text = *content;
        usage(*parsed);
        return generation;
    }
    bool done = false;
    for (const QByteArray &rawLine : body.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("data:"))
            continue;
        const QByteArray data = line.mid(5).trimmed();
        if (data == "[DONE]") {
            done = true;
            break;
        }
        const auto event = json::parse(data);
        if (!event || !event->is_object())
            return Unexpected{QStringLiteral("an event of the stream is not JSON")};
        usage(*event);
        const auto choices = event->find("choices");
        if (choices == event->end() || !choices->is_array() || choices->empty() || !(*choices)[0].is_object())
            continue;
        const json::Json delta = (*choices)[0].value("delta", json::Json());
        generation.text += json::optionalField<QString>(delta, "content").value_or(QString());
    }
    if (!done)
        return Unexpected{QStringLiteral("the stream ended before [DONE]")};
    return generation;
}

QCoro::Task<Expected<Generation, GenerationFailure>> OpenAiChatModel::generate(GenerationRequest request)
{
    using Kind = GenerationFailure::Kind;
    json::Json messages = json::Json::array();
    for (const ChatMessage &m : request.messages)
        messages.push_back(json::Json{{"role", m.role.toStdString()}, {"content", m.content.toStdString()}});
    json::Json body;
    body["model"] = m_settings.model;
    body["messages"] = std::move(messages);
    body["max_tokens"] = request.maxTokens;
    body["temperature"] = 0;
    body["stream"] = m_settings.stream;

    QUrl url = m_settings.baseUrl;
    url.setPath(url.path().chopped(url.path().endsWith(u'/') ? 1 : 0) + QStringLiteral("/chat/completions"));
    QNetworkRequest http(url);
    http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!m_settings.apiKey.isEmpty())
        http.setRawHeader("Authorization", "Bearer " + m_settings.apiKey);
    http.setTransferTimeout(static_cast<int>(request.timeLimit.count()));

    const Millis started = m_scheduler.monotonicNow();
    QPointer<QNetworkReply> reply = m_network.post(http, json::encode(body));
    std::stop_source finished;
    abortWhenUnwanted(reply, request.stillWanted, m_scheduler, finished.get_token());
    co_await qCoro(reply.data()).waitForFinished();
    finished.request_stop();
    if (!reply)
        co_return Unexpected{GenerationFailure{Kind::failed, QStringLiteral("the request was dropped")}};
    reply->deleteLater();

    if (!request.stillWanted())
        co_return Unexpected{GenerationFailure{Kind::cancelled, QStringLiteral("the client went away")}};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray bytes = reply->read(kMaxReplyBytes + 1);
    if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError)
        co_return Unexpected{GenerationFailure{
            Kind::timedOut, QStringLiteral("the model did not answer within %1 ms").arg(request.timeLimit.count())}};
    if (status == 0)
        co_return Unexpected{GenerationFailure{Kind::unavailable, reply->errorString()}};
    if (status == 429 || status == 503)
        co_return Unexpected{GenerationFailure{Kind::busy, errorMessage(bytes).value_or(reply->errorString())}};
    if (status != 200)
        co_return Unexpected{GenerationFailure{
            Kind::failed, QStringLiteral("the model endpoint answered %1: %2")
                              .arg(status)
                              .arg(errorMessage(bytes).value_or(QString::fromUtf8(bytes.left(200))))}};
    if (bytes.size() > kMaxReplyBytes)
        co_return Unexpected{GenerationFailure{Kind::failed, QStringLiteral("the model's reply is too large")}};
    auto generation = parseReply(bytes, m_settings.stream);
    if (!generation)
        co_return Unexpected{GenerationFailure{Kind::failed, generation.error()}};
    generation->elapsedMs = (m_scheduler.monotonicNow() - started).count();
    co_return std::move(generation.value());
}

} // namespace dravelin::server
