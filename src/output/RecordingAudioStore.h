#pragma once

#include "core/SerialQueue.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace dravelin {

class UserDefaults;

// Whether recordings are kept with their history entries ("history.keepRecordings",
// true until the user turns it off).
namespace RecordingPlaybackSettings {
inline constexpr const char *kKeepRecordingsKey = "history.keepRecordings";
bool keepRecordings(const UserDefaults &defaults);
} // namespace RecordingPlaybackSettings

// One directory of recordings named by history entry id (<ID>.m4a, or <ID>.wav
// when AAC encoding failed). All file work runs on the store's own queue, in
// submission order; completions are called there too.
class RecordingAudioStore
{
public:
    using SaveCompletion = std::function<void(std::optional<QString> path)>;
    using ReconcileCompletion = std::function<void(std::map<QUuid, QString> files)>;

    RecordingAudioStore(QString directory, const QueueFactory &queues);
    // The jobs already queued still run.
    ~RecordingAudioStore();

    void save(QByteArray data, QUuid id, SaveCompletion completion);
    void remove(std::vector<QUuid> ids);
    void removeAll();
    void reconcile(std::set<QUuid> keeping, ReconcileCompletion completion);

    QString directory() const { return m_directory; }

    // The work itself, synchronous; public for the tests.
    static std::optional<QString> write(const QString &directory, const QUuid &id, const QByteArray &data);
    static std::map<QUuid, QString> prune(const QString &directory, const std::set<QUuid> &keeping);

private:
    QString m_directory;
    std::unique_ptr<SerialQueue> m_queue;
};

} // namespace dravelin
