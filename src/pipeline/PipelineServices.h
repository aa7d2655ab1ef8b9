#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>
#include <utility>

namespace dravelin {

// The retry queue as the pipeline sees it: a cloud recording is saved before
// it is sent, removed once delivered, and its failures are recorded.
struct PendingItem
{
    QUuid id;
};

class PendingTranscribing
{
public:
    virtual ~PendingTranscribing() = default;
    virtual QCoro::Task<Expected<PendingItem, QString>> save(QByteArray audio, std::optional<qint64> durationMs,
                                                             std::optional<QString> appBundleID,
                                                             std::optional<QUuid> clientRecordingId) = 0;
    virtual QCoro::Task<> remove(QUuid id) = 0;
    virtual QCoro::Task<> recordFailure(QUuid id, QString error) = 0;
};

// Until the retry queue exists: every save "succeeds" and nothing is kept,
// so a failed recording is not retryable.
class NullPendingQueue final : public PendingTranscribing
{
public:
    QCoro::Task<Expected<PendingItem, QString>> save(QByteArray, std::optional<qint64>, std::optional<QString>,
                                                     std::optional<QUuid>) override
    {
        co_return PendingItem{QUuid::createUuid()};
    }
    QCoro::Task<> remove(QUuid) override { co_return; }
    QCoro::Task<> recordFailure(QUuid, QString) override { co_return; }
};

enum class QualityCategory {
    success,
    error,
    accuracyIssue,
    noSpeech
};

// Signals about how well dictations went, for the backend's quality dashboard.
class QualityReporting
{
public:
    virtual ~QualityReporting() = default;
    virtual void report(QUuid clientRecordingId, QualityCategory category, QString reason,
                        std::optional<qint64> durationMs, std::optional<QString> engine) = 0;
    // How a delivered transcript looks: a category, and a reason when it is not a success.
    virtual std::pair<QualityCategory, std::optional<QString>> classifyCompleted(const QString &text,
                                                                                 std::optional<qint64> durationMs)
    {
        (void)durationMs;
        if (text.trimmed().isEmpty())
            return {QualityCategory::noSpeech, QStringLiteral("empty_transcript")};
        return {QualityCategory::success, std::nullopt};
    }
};

} // namespace dravelin
