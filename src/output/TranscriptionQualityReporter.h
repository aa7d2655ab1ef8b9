#pragma once

#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"
#include "core/Json.h"
#include "core/Tasks.h"
#include "output/TranscriptionQualityMapping.h"

#include <QObject>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace dravelin {

class Scheduler;

// One report about how a dictation went.
struct TranscriptionQualityReport
{
    QUuid clientRecordingId;
    AdminTranscriptionQualityCategory category = AdminTranscriptionQualityCategory::success;
    std::optional<QString> reason; // "empty_transcript", "api_failure", "network" …
    std::optional<qint64> durationMs;
    std::optional<QString> engine; // the recogniser that produced the text

    // {"clientRecordingId", "category", "reason"?, "durationMs"?, "engine"?};
    // the id in upper case, absent values left out.
    json::Json toJson() const;
};

// Tells the backend's report-transcription-quality function how each
// dictation went, so its administrators see per-recording quality labels.
// Fire-and-forget: failures are logged and dropped, never retried, except
// that a reply asking to come back later ({"deferred": true}) gets exactly
// one more try after `retryDelay`. A reply {"ignored": "admin_override"}
// means an administrator already labelled the recording.
class TranscriptionQualityReporter final : public QObject
{
    Q_OBJECT
public:
    static constexpr Millis kRetryDelay{2000};

    TranscriptionQualityReporter(QUrl endpoint, TokenSource &tokens, QByteArray apiKey, AuthRequestSending &sender,
                                 Scheduler &scheduler, Millis retryDelay = kRetryDelay, QObject *parent = nullptr);

    // Returns at once; the report runs on its own and nobody waits for it.
    void report(TranscriptionQualityReport report);
    // The report itself, with at most one deferred retry when allowed.
    QCoro::Task<> submit(TranscriptionQualityReport report, bool allowDeferredRetry);

    TaskTracker &taskTracker() { return m_tasks; }

private:
    enum class Answer {
        done,
        deferred
    };
    QCoro::Task<Answer> submitOnce(TranscriptionQualityReport report);

    QUrl m_endpoint;
    TokenSource &m_tokens;
    QByteArray m_apiKey;
    AuthRequestSending &m_sender;
    Scheduler &m_scheduler;
    Millis m_retryDelay;
    TaskTracker m_tasks;
};

} // namespace dravelin
