#include "pipeline/BackendQualityReporting.h"

#include "output/TranscriptionQualityReporter.h"

namespace dravelin {

namespace {

AdminTranscriptionQualityCategory toAdmin(QualityCategory category)
{
    switch (category) {
    case QualityCategory::success:
        return AdminTranscriptionQualityCategory::success;
    case QualityCategory::error:
        return AdminTranscriptionQualityCategory::error;
    case QualityCategory::accuracyIssue:
        return AdminTranscriptionQualityCategory::accuracyIssue;
    case QualityCategory::noSpeech:
        return AdminTranscriptionQualityCategory::noSpeech;
    }
    return AdminTranscriptionQualityCategory::error;
}

QualityCategory fromAdmin(AdminTranscriptionQualityCategory category)
{
    switch (category) {
    case AdminTranscriptionQualityCategory::success:
        return QualityCategory::success;
    case AdminTranscriptionQualityCategory::error:
        return QualityCategory::error;
    case AdminTranscriptionQualityCategory::accuracyIssue:
        return QualityCategory::accuracyIssue;
    case AdminTranscriptionQualityCategory::noSpeech:
        return QualityCategory::noSpeech;
    }
    return QualityCategory::error;
}

} // namespace

void BackendQualityReporting::report(QUuid clientRecordingId, QualityCategory category, QString reason,
                                     std::optional<qint64> durationMs, std::optional<QString> engine)
{
    TranscriptionQualityReport report;
    report.clientRecordingId = clientRecordingId;
    report.category = toAdmin(category);
    if (!reason.isEmpty())
        report.reason = std::move(reason);
    report.durationMs = durationMs;
    report.engine = std::move(engine);
    m_reporter.report(std::move(report));
}

std::pair<QualityCategory, std::optional<QString>>
BackendQualityReporting::classifyCompleted(const QString &text, std::optional<qint64> durationMs)
{
    const auto [category, reason] = TranscriptionQualityMapping::classifyCompleted(text, durationMs);
    return {fromAdmin(category), reason};
}

} // namespace dravelin
