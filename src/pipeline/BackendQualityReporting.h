#pragma once

#include "pipeline/PipelineServices.h"

namespace dravelin {

class TranscriptionQualityReporter;

// The pipeline's quality reports, judged by TranscriptionQualityMapping and
// sent to the backend by the TranscriptionQualityReporter.
class BackendQualityReporting final : public QualityReporting
{
public:
    explicit BackendQualityReporting(TranscriptionQualityReporter &reporter) : m_reporter(reporter) {}

    // An empty reason is left out of the report.
    void report(QUuid clientRecordingId, QualityCategory category, QString reason, std::optional<qint64> durationMs,
                std::optional<QString> engine) override;
    std::pair<QualityCategory, std::optional<QString>> classifyCompleted(const QString &text,
                                                                         std::optional<qint64> durationMs) override;

private:
    TranscriptionQualityReporter &m_reporter;
};

} // namespace dravelin
