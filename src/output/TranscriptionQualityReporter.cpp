#include "output/TranscriptionQualityReporter.h"

#include "account/BackendRequest.h"
#include "core/Log.h"
#include "core/Scheduler.h"

#include <QPointer>

namespace dravelin {

namespace {

constexpr Millis kRequestTimeout{60000};
constexpr qsizetype kMaxReplyBytes = 16 * 1024;

} // namespace

json::Json TranscriptionQualityReport::toJson() const
{
    json::Json body;
    body["clientRecordingId"] = clientRecordingId.toString(QUuid::WithoutBraces).toUpper();
    body["category"] = wireValue(category);
    json::putOptional(body, "reason", reason);
    json::putOptional(body, "durationMs", durationMs);
    json::putOptional(body, "engine", engine);
    return body;
}

TranscriptionQualityReporter::TranscriptionQualityReporter(QUrl endpoint, TokenSource &tokens, QByteArray apiKey,
                                                           AuthRequestSending &sender, Scheduler &scheduler,
                                                           Millis retryDelay, QObject *parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_apiKey(std::move(apiKey))
    , m_sender(sender)
    , m_scheduler(scheduler)
    , m_retryDelay(retryDelay)
{}

void TranscriptionQualityReporter::report(TranscriptionQualityReport report)
{
    auto run = [](QPointer<TranscriptionQualityReporter> self, TranscriptionQualityReport r) -> QCoro::Task<> {
        if (self)
            co_await self->submit(std::move(r), true);
    };
    m_tasks.track(run(QPointer<TranscriptionQualityReporter>(this), std::move(report)));
}

QCoro::Task<> TranscriptionQualityReporter::submit(TranscriptionQualityReport report, bool allowDeferredRetry)
{
    QPointer<TranscriptionQualityReporter> self(this);
    Scheduler &scheduler = m_scheduler;
    const Millis retryDelay = m_retryDelay;
    const Answer first = co_await submitOnce(report);
    if (!self || first != Answer::deferred || !allowDeferredRetry)
        co_return;
    co_await scheduler.sleep(retryDelay);
    if (!self)
        co_return;
    // A second deferral ends the report.
    co_await submitOnce(std::move(report));
}

QCoro::Task<TranscriptionQualityReporter::Answer>
TranscriptionQualityReporter::submitOnce(TranscriptionQualityReport report)
{
    QPointer<TranscriptionQualityReporter> self(this);
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self)
        co_return Answer::done;
    if (!token || token->isEmpty()) {
        logs::info(logs::quality(), QStringLiteral("Quality report skipped — no token"));
        co_return Answer::done;
    }
    AuthRequestSending &sender = m_sender;
    HttpRequest request = backendJsonRequest("POST", m_endpoint, *token, kRequestTimeout, report.toJson(), m_apiKey);
    const auto reply = co_await sender.send(std::move(request));
    if (!reply) {
        logs::error(logs::quality(), QStringLiteral("Quality report failed: %1").arg(reply.error().description));
        co_return Answer::done;
    }
    // The reply's flags count whatever the status; a body that is not one ends the report.
    const auto body = parseBackendReply(reply->body, kMaxReplyBytes);
    if (!body || !body->is_object())
        co_return Answer::done;
    if (json::optionalField<QString>(*body, "ignored") == QStringLiteral("admin_override")) {
        logs::info(logs::quality(), QStringLiteral("Quality report ignored — admin override"));
        co_return Answer::done;
    }
    co_return json::optionalField<bool>(*body, "deferred").value_or(false) ? Answer::deferred : Answer::done;
}

} // namespace dravelin
