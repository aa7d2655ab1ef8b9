#pragma once

#include "core/SerialQueue.h"
#include "output/ClipboardEntry.h"

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <vector>

struct sqlite3;

namespace dravelin {

// The open database, valid only inside a job running on its store's queue.
class DBHandle
{
public:
    explicit DBHandle(sqlite3 *db) : m_db(db) {}

    void insert(const ClipboardEntry &entry);
    void trimToLast(int count);
    void remove(const QUuid &id);
    void removeAll();
    std::vector<ClipboardEntry> loadAll(int limit);

private:
    sqlite3 *m_db;
};

// One user's history file (clipboard.sqlite). Every use of the connection
// runs on the store's own serial queue; the main thread only waits for
// results as a coroutine. A file that cannot be opened makes a store that
// ignores writes and loads nothing.
class ClipboardStore
{
public:
    ClipboardStore(QString path, Scheduler &scheduler, const QueueFactory &queues);
    // Closes the connection after the jobs already queued.
    ~ClipboardStore();
    ClipboardStore(const ClipboardStore &) = delete;
    ClipboardStore &operator=(const ClipboardStore &) = delete;

    // Runs `body` on the queue; resumes the caller when it has run.
    QCoro::Task<> write(std::function<void(DBHandle &)> body);
    QCoro::Task<std::vector<ClipboardEntry>> loadAll(int limit);
    QString path() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    Scheduler &m_scheduler;
    std::unique_ptr<SerialQueue> m_queue;
};

} // namespace dravelin
