#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "core/Tasks.h"
#include "pipeline/PipelineServices.h"

#include <QObject>

#include <memory>
#include <optional>

namespace dravelin {

// The retry queue on disk: every recording that goes to the cloud is written
// here first, so a network or server failure never loses the user's words.
// One folder per signed-in user (<user directory>/pending), one .m4a and one
// .json sidecar per item, named by the item's id. Items leave the queue when
// a transcript arrived for them; failures stay, with their attempt count,
// until the user retries.
//
// Files are read and written on a queue of its own (writes are atomic, so a
// crash never leaves half a sidecar); the list lives on the main thread.
class PendingTranscriptions final : public QObject, public PendingTranscribing
{
    Q_OBJECT
public:
    // Sidecars larger than this are not ours and are skipped.
    static constexpr qint64 maxSidecarBytes = 64 * 1024;

    PendingTranscriptions(Scheduler &scheduler, QString dataRoot, const QueueFactory &queues = {},
                          QObject *parent = nullptr);
    ~PendingTranscriptions() override;

    // Attaches to the user's folder and loads it; none detaches (nothing on
    // disk is deleted).
    QCoro::Task<> switchTo(std::optional<QString> userID);
    // Reads the items back from the folder.
    QCoro::Task<> refresh();
    const std::optional<QString> &directory() const { return m_dir; }

    const QList<PendingItem> &items() const override { return m_items; }
    QCoro::Task<Expected<PendingItem, QString>> save(QByteArray audio, std::optional<qint64> durationMs,
                                                     std::optional<QString> appBundleID,
                                                     std::optional<QUuid> clientRecordingId) override;
    QCoro::Task<> remove(QUuid id) override;
    QCoro::Task<> recordFailure(QUuid id, QString error) override;
    QCoro::Task<std::optional<QByteArray>> audio(PendingItem item) override;

    // The sidecar's JSON, and an item back from it (none when it is not a
    // valid sidecar).
    static QByteArray encodeSidecar(const PendingItem &item);
    static std::optional<PendingItem> decodeSidecar(const QByteArray &json);

Q_SIGNALS:
    void itemsChanged();

private:
    void setItems(QList<PendingItem> items);

    Scheduler &m_scheduler;
    QString m_dataRoot;
    std::unique_ptr<SerialQueue> m_queue;
    std::optional<QString> m_dir;
    QList<PendingItem> m_items;
    quint64 m_generation = 0; // bumped on every switch, so a stale load is dropped
    quint64 m_changes = 0;    // bumped by every save, removal and failure
};

} // namespace dravelin
