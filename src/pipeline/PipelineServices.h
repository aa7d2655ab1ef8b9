#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>
#include <utility>

namespace dravelin {

// A recording waiting in the retry queue: its audio file and a JSON sidecar
// with what is needed to send it again.
struct PendingItem
{
    QUuid id; // also the base name of both files
    QString audioPath;
    QString sidecarPath;
    QDateTime createdAt;
    std::optional<qint64> durationMs;
    std::optional<QString> appBundleID; // the application it was dictated into
    int attempts = 0;                   // failed attempts so far
    std::optional<QString> lastError;
    std::optional<QUuid> clientRecordingId; // the id the backend knows the recording by
    qint64 audioBytes = 0;

    bool operator==(const PendingItem &) const = default;
};

// The retry queue as the pipeline sees it: a cloud recording is saved before
// it is sent, removed once delivered, and its failures are recorded.
class PendingTranscribing
{
public:
    virtual ~PendingTranscribing() = default;
    // Oldest first.
    virtual const QList<PendingItem> &items() const = 0;
    virtual QCoro::Task<Expected<PendingItem, QString>> save(QByteArray audio, std::optional<qint64> durationMs,
                                                             std::optional<QString> appBundleID,
                                                             std::optional<QUuid> clientRecordingId) = 0;
    virtual QCoro::Task<> remove(QUuid id) = 0;
    virtual QCoro::Task<> recordFailure(QUuid id, QString error) = 0;
    // The item's audio; none when it cannot be read.
    virtual QCoro::Task<std::optional<QByteArray>> audio(PendingItem item) = 0;
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
