#include "functions/TextFunctions.h"

#include "auth/AuthRoutes.h"
#include "core/Json.h"
#include "core/Log.h"
#include "llm/LanguageModel.h"
#include "llm/TextPrompts.h"

#include <QDate>

namespace dravelin::server {

namespace {

constexpr int kRetryAfterSeconds = 5;

// The request's JSON object, or the answer refusing it.
Expected<json::Json, HttpResponse> jsonBody(const HttpRequest &request)
{
    if (request.body.size() > TextFunctions::kMaxBodyBytes)
        return Unexpected{HttpResponse::error(
            413, QStringLiteral("The request is too large (at most %1 bytes)").arg(TextFunctions::kMaxBodyBytes))};
    auto body = json::parse(request.body);
    if (!body)
        return Unexpected{HttpResponse::error(400, body.error().message)};
    if (!body->is_object())
        return Unexpected{HttpResponse::error(400, QStringLiteral("expected a JSON object"))};
    return std::move(body.value());
}

HttpResponse noModel()
{
    return HttpResponse::error(503, QStringLiteral("This server has no language model. Start dravelin-server with a "
                                                   "model (llm.provider \"local\" or \"openai\"; see --help)."));
}

// The answer for a generation that did not succeed; nothing when the client
// has gone and nobody is listening.
std::optional<HttpResponse> failureResponse(const GenerationFailure &failure)
{
    using Kind = GenerationFailure::Kind;
    switch (failure.kind) {
    case Kind::cancelled:
        return std::nullopt;
    case Kind::busy: {
        HttpResponse busy = HttpResponse::error(
            503, QStringLiteral("The language model is busy with other requests; try again in a few seconds."));
        busy.headers.append({"Retry-After", QByteArray::number(kRetryAfterSeconds)});
        return busy;
    }
    case Kind::timedOut:
        return HttpResponse::error(502, QStringLiteral("The language model took too long: %1").arg(failure.message));
    case Kind::unavailable:
        return HttpResponse::error(503, QStringLiteral("The language model is not available: %1").arg(failure.message));
    case Kind::failed:
        break;
    }
    return HttpResponse::error(502, QStringLiteral("The language model failed: %1").arg(failure.message));
}

} // namespace

TextFunctions::TextFunctions(const ServerConfig &config, Storage &storage, AuthRoutes &auth, LanguageModel *model,
                             Scheduler &scheduler)
    : m_config(config)
    , m_storage(storage)
    , m_auth(auth)
    , m_model(model)
    , m_scheduler(scheduler)
{}

void TextFunctions::install(Router &router)
{
    router.addStreaming("POST", QStringLiteral("/functions/v1/rewrite"),
                        [this](HttpRequest request, std::shared_ptr<ResponseWriter> writer) {
                            return rewrite(std::move(request), std::move(writer));
                        });
    router.addStreaming("POST", QStringLiteral("/functions/v1/ask"),
                        [this](HttpRequest request, std::shared_ptr<ResponseWriter> writer) {
                            return ask(std::move(request), std::move(writer));
                        });
}

void TextFunctions::record(const QString &userId, const char *function, qsizetype in, qsizetype out, qint64 ms)
{
    m_storage.recordModelRequest(ModelRequestRecord{userId, QString::fromLatin1(function),
                                                    m_scheduler.wallNow().toSecsSinceEpoch(), in, out, ms,
                                                    m_model ? m_model->name() : QStringLiteral("rules")});
}

QCoro::Task<> TextFunctions::rewrite(HttpRequest request, std::shared_ptr<ResponseWriter> writer)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        co_return writer->send(user.error());
    const auto body = jsonBody(request);
    if (!body)
        co_return writer->send(body.error());
    const auto text = json::requiredField<QString>(*body, "text");
    if (!text)
        co_return writer->send(HttpResponse::error(400, text.error().message));
    const QString selection = text->trimmed();
    if (selection.isEmpty())
        co_return writer->send(HttpResponse::error(400, QStringLiteral("There is no text to rewrite")));
    if (selection.size() > kMaxRewriteChars)
        co_return writer->send(
            HttpResponse::error(413, QStringLiteral("The text is too long to rewrite (%1 characters; at most %2)")
                                         .arg(selection.size())
                                         .arg(kMaxRewriteChars)));
    const QString style = json::optionalField<QString>(*body, "style").value_or(QStringLiteral("natural"));
    if (!isRewriteStyle(style))
        co_return writer->send(HttpResponse::error(400, QStringLiteral("unknown style \"%1\"").arg(style)));
    const auto instruction = json::optionalField<QString>(*body, "prompt");
    if (instruction && instruction->size() > kMaxInstructionChars)
        co_return writer->send(HttpResponse::error(
            413, QStringLiteral("The instruction is too long (at most %1 characters)").arg(kMaxInstructionChars)));
    if (!m_model)
        co_return writer->send(noModel());

    GenerationRequest generation;
    generation.messages = rewriteMessages(selection, style, instruction);
    // Room for a rewrite somewhat longer than the selection (a reply, a list).
    generation.maxTokens = static_cast<int>(std::min<qsizetype>(1024, 64 + selection.size() / 2));
    generation.timeLimit = Millis(m_config.llm.timeLimitMs);
    generation.stillWanted = [writer] { return writer->isOpen(); };
    LanguageModel &model = *m_model;
    const auto result = co_await model.generate(std::move(generation));
    if (!result) {
        if (auto response = failureResponse(result.error()))
            writer->send(*response);
        co_return;
    }
    const QString rewritten = tidyModelText(result->text);
    if (rewritten.isEmpty())
        co_return writer->send(HttpResponse::error(502, QStringLiteral("The language model returned no text")));
    if (!instruction && !looksLikeRewrite(selection, rewritten)) {
        logs::info(logs::rewrite(),
                   QStringLiteral("The model answered instead of rewriting: %1").arg(logs::priv(rewritten.left(200))));
        co_return writer->send(HttpResponse::error(
            502, QStringLiteral("The language model answered the text instead of rewriting it; try again, or use a "
                                "larger model (llm.model)")));
    }
    logs::info(logs::rewrite(), QStringLiteral("Rewrote %1 → %2 chars in %3 ms (%4, %5 tokens)")
                                    .arg(selection.size())
                                    .arg(rewritten.size())
                                    .arg(result->elapsedMs)
                                    .arg(instruction ? QStringLiteral("custom") : style)
                                    .arg(result->generatedTokens));
    record(user->id, "rewrite", selection.size(), rewritten.size(), result->elapsedMs);
    json::Json reply;
    reply["text"] = rewritten;
    writer->send(HttpResponse::json(200, json::encode(reply)));
}

QCoro::Task<> TextFunctions::ask(HttpRequest request, std::shared_ptr<ResponseWriter> writer)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        co_return writer->send(user.error());
    const auto body = jsonBody(request);
    if (!body)
        co_return writer->send(body.error());
    const auto query = json::requiredField<QString>(*body, "query");
    if (!query)
        co_return writer->send(HttpResponse::error(400, query.error().message));
    const QString question = query->trimmed();
    if (question.isEmpty())
        co_return writer->send(HttpResponse::error(400, QStringLiteral("There is no question")));
    if (question.size() > kMaxQuestionChars)
        co_return writer->send(HttpResponse::error(
            413, QStringLiteral("The question is too long (at most %1 characters)").arg(kMaxQuestionChars)));
    const QString timeZone = json::optionalField<QString>(*body, "timezone").value_or(QString()).left(64);
    const QString locale = json::optionalField<QString>(*body, "locale").value_or(QString()).left(32);

    const auto respond = [&](const std::variant<QString, AskAction> &answer, qint64 ms) {
        json::Json reply;
        if (const auto *action = std::get_if<AskAction>(&answer)) {
            reply["kind"] = "action";
            reply["text"] = action->confirmation();
            reply["url"] = action->url().toString(QUrl::FullyEncoded);
        } else {
            reply["kind"] = "answer";
            reply["text"] = std::get<QString>(answer);
        }
        record(user->id, "ask", question.size(), json::optionalField<QString>(reply, "text").value_or(QString()).size(),
               ms);
        writer->send(HttpResponse::json(200, json::encode(reply)));
    };

    // The plain phrasings need no model.
    if (const auto action = obviousAskAction(question)) {
        logs::info(logs::assistant(), QStringLiteral("Ask answered by a rule"));
        co_return respond(*action, 0);
    }
    if (!m_model)
        co_return writer->send(noModel());

    GenerationRequest generation;
    generation.messages =
        askMessages(question, timeZone, locale, m_scheduler.wallNow().date().toString(QStringLiteral("d MMMM yyyy")));
    generation.maxTokens = 160;
    generation.timeLimit = Millis(m_config.llm.timeLimitMs);
    generation.stillWanted = [writer] { return writer->isOpen(); };
    LanguageModel &model = *m_model;
    const auto result = co_await model.generate(std::move(generation));
    if (!result) {
        if (auto response = failureResponse(result.error()))
            writer->send(*response);
        co_return;
    }
    const auto answer = readAskReply(result->text);
    if (const auto *text = std::get_if<QString>(&answer); text && text->isEmpty())
        co_return writer->send(HttpResponse::error(502, QStringLiteral("The language model returned no answer")));
    logs::info(logs::assistant(),
               QStringLiteral("Ask answered in %1 ms (%2 tokens)").arg(result->elapsedMs).arg(result->generatedTokens));
    respond(answer, result->elapsedMs);
}

} // namespace dravelin::server
