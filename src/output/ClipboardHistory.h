#pragma once

#include "core/SerialQueue.h"
#include "output/ClipboardHistoring.h"
#include "output/ClipboardStore.h"
#include "output/RecordingAudioStore.h"

#include <QObject>

#include <map>
#include <memory>
#include <set>
#include <vector>

namespace dravelin {

class UserDefaults;

// The newest 20 delivered texts of the signed-in user, newest first, mirrored
// from that user's clipboard.sqlite, with each entry's saved recording when
// the user keeps recordings. Detached (empty) while nobody is signed in.
// Main thread only; database and file work run on the stores' queues.
class ClipboardHistory final : public QObject, public ClipboardHistoring
{
    Q_OBJECT
public:
    static constexpr int kMaxEntries = 20;

    // Recordings handed to the store whose file is not written yet (a
    // command that ends waits for them).
    int recordingsBeingSaved() const { return m_recordingsSaving; }

    ClipboardHistory(UserDefaults &defaults, Scheduler &scheduler, QueueFactory queues, QString dataRoot,
                     QObject *parent = nullptr);
    ~ClipboardHistory() override;

    // Opens the user's own file (or detaches for none) and loads its entries.
    QCoro::Task<> switchTo(std::optional<QString> userID);
    bool isAttached() const { return m_store != nullptr; }

    const std::vector<ClipboardEntry> &entries() const { return m_entries; }
    int entryCount() const override { return static_cast<int>(m_entries.size()); }
    std::optional<ClipboardEntry> latest() const override;
    const std::set<QUuid> &audioEntryIDs() const { return m_audioEntryIDs; }
    std::optional<QString> audioURL(const QUuid &id) const;

    QCoro::Task<> add(QString text, std::optional<QString> source, std::optional<QString> windowName, bool aiProcessed,
                      std::optional<QByteArray> audio) override;
    // The same without a recording.
    QCoro::Task<> add(QString text, std::optional<QString> source, std::optional<QString> windowName, bool aiProcessed);
    QCoro::Task<> remove(QUuid id);
    QCoro::Task<> clear();

Q_SIGNALS:
    void entriesChanged();
    void audioEntriesChanged();

private:
    void resetRecordingLink(std::shared_ptr<RecordingAudioStore> store);
    void forgetRecordings(const std::vector<QUuid> &ids);
    void recordingSaved(QUuid id, std::optional<QString> path, quint64 generation);
    void recordingsFound(std::map<QUuid, QString> files, quint64 generation);
    void keepRecordingsSettingDidChange();
    bool hasEntry(const QUuid &id) const;
    void saveRecording(QUuid id, QByteArray audio);

    UserDefaults &m_defaults;
    Scheduler &m_scheduler;
    QueueFactory m_queues;
    QString m_dataRoot;
    std::shared_ptr<ClipboardStore> m_store;
    std::shared_ptr<RecordingAudioStore> m_audioStore;
    std::vector<ClipboardEntry> m_entries;
    std::map<QUuid, QString> m_audioURLs;
    std::set<QUuid> m_audioEntryIDs;
    quint64 m_audioGeneration = 0;
    int m_recordingsSaving = 0;
    quint64 m_attachGeneration = 0;
    bool m_keepRecordings = true;
    // Recordings of entries added while the user's history was loading,
    // saved once their folder is known.
    std::vector<std::pair<QUuid, QByteArray>> m_recordingsWaiting;
};

} // namespace dravelin
