#pragma once

#include "core/SerialQueue.h"
#include "output/ClipboardHistoring.h"
#include "output/ClipboardStore.h"

#include <QObject>

#include <memory>
#include <vector>

namespace dravelin {

// The newest 20 delivered texts of the signed-in user, newest first, mirrored
// from that user's clipboard.sqlite. Detached (empty) while nobody is signed
// in. Main thread only; the database work runs on the store's queue.
class ClipboardHistory final : public QObject, public ClipboardHistoring
{
    Q_OBJECT
public:
    static constexpr int kMaxEntries = 20;

    ClipboardHistory(Scheduler &scheduler, QueueFactory queues, QString dataRoot, QObject *parent = nullptr);
    ~ClipboardHistory() override;

    // Opens the user's own file (or detaches for none) and loads its entries.
    QCoro::Task<> switchTo(std::optional<QString> userID);
    bool isAttached() const { return m_store != nullptr; }

    const std::vector<ClipboardEntry> &entries() const { return m_entries; }
    int entryCount() const override { return static_cast<int>(m_entries.size()); }
    std::optional<ClipboardEntry> latest() const override;

    QCoro::Task<> add(QString text, std::optional<QString> source, std::optional<QString> windowName,
                      bool aiProcessed) override;
    QCoro::Task<> remove(QUuid id);
    QCoro::Task<> clear();

Q_SIGNALS:
    void entriesChanged();

private:
    Scheduler &m_scheduler;
    QueueFactory m_queues;
    QString m_dataRoot;
    std::shared_ptr<ClipboardStore> m_store;
    std::vector<ClipboardEntry> m_entries;
    quint64 m_attachGeneration = 0;
};

} // namespace dravelin
