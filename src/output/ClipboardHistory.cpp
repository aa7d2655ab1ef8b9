#include "output/ClipboardHistory.h"

#include "core/Log.h"
#include "core/Scheduler.h"
#include "output/UserDataPaths.h"

#include <QPointer>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::clipboardHistory(), message);
}

} // namespace

ClipboardHistory::ClipboardHistory(Scheduler &scheduler, QueueFactory queues, QString dataRoot, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_queues(std::move(queues))
    , m_dataRoot(std::move(dataRoot))
{}

ClipboardHistory::~ClipboardHistory() = default;

std::optional<ClipboardEntry> ClipboardHistory::latest() const
{
    if (m_entries.empty())
        return std::nullopt;
    return m_entries.front();
}

QCoro::Task<> ClipboardHistory::switchTo(std::optional<QString> userID)
{
    const quint64 generation = ++m_attachGeneration;
    m_store.reset(); // closes the previous file after its queued work
    if (!userID) {
        m_entries.clear();
        Q_EMIT entriesChanged();
        info(QStringLiteral("History detached (signed out)"));
        co_return;
    }
    QPointer<ClipboardHistory> self(this);
    auto store =
        std::make_shared<ClipboardStore>(UserDataPaths::clipboardDatabase(*userID, m_dataRoot), m_scheduler, m_queues);
    m_store = store;
    m_entries.clear();
    Q_EMIT entriesChanged();
    auto loaded = co_await store->loadAll(kMaxEntries);
    // A newer switch (or this object's end) wins over a slow load.
    if (!self || generation != m_attachGeneration)
        co_return;
    m_entries = std::move(loaded);
    Q_EMIT entriesChanged();
    info(QStringLiteral("Loaded %1 entries").arg(m_entries.size()));
}

QCoro::Task<> ClipboardHistory::add(QString text, std::optional<QString> source, std::optional<QString> windowName,
                                    bool aiProcessed)
{
    if (!m_store) {
        logs::error(logs::clipboardHistory(), QStringLiteral("add() with no attached store — dropping entry"));
        co_return;
    }
    ClipboardEntry entry{QUuid::createUuid(), std::move(text),       m_scheduler.wallNow(),
                         std::move(source),   std::move(windowName), aiProcessed};
    m_entries.insert(m_entries.begin(), entry);
    if (m_entries.size() > static_cast<size_t>(kMaxEntries))
        m_entries.resize(kMaxEntries);
    Q_EMIT entriesChanged();
    const auto store = m_store;
    auto write = [entry](DBHandle &db) {
        db.insert(entry);
        db.trimToLast(kMaxEntries);
    };
    co_await store->write(std::move(write));
}

QCoro::Task<> ClipboardHistory::remove(QUuid id)
{
    std::erase_if(m_entries, [&id](const ClipboardEntry &e) { return e.id == id; });
    Q_EMIT entriesChanged();
    if (!m_store)
        co_return;
    const auto store = m_store;
    auto write = [id](DBHandle &db) { db.remove(id); };
    co_await store->write(std::move(write));
}

QCoro::Task<> ClipboardHistory::clear()
{
    m_entries.clear();
    Q_EMIT entriesChanged();
    if (!m_store)
        co_return;
    const auto store = m_store;
    auto write = [](DBHandle &db) { db.removeAll(); };
    co_await store->write(std::move(write));
}

} // namespace dravelin
