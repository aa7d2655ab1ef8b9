#include "output/ClipboardHistory.h"

#include "core/Log.h"
#include "core/Scheduler.h"
#include "core/UserDefaults.h"
#include "output/UserDataPaths.h"

#include <QPointer>

#include <utility>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::clipboardHistory(), message);
}

} // namespace

ClipboardHistory::ClipboardHistory(UserDefaults &defaults, Scheduler &scheduler, QueueFactory queues, QString dataRoot,
                                   QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_scheduler(scheduler)
    , m_queues(std::move(queues))
    , m_dataRoot(std::move(dataRoot))
    , m_keepRecordings(RecordingPlaybackSettings::keepRecordings(defaults))
{
    connect(&m_defaults, &UserDefaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String(RecordingPlaybackSettings::kKeepRecordingsKey))
            keepRecordingsSettingDidChange();
    });
}

ClipboardHistory::~ClipboardHistory() = default;

std::optional<ClipboardEntry> ClipboardHistory::latest() const
{
    if (m_entries.empty())
        return std::nullopt;
    return m_entries.front();
}

std::optional<QString> ClipboardHistory::audioURL(const QUuid &id) const
{
    const auto it = m_audioURLs.find(id);
    return it == m_audioURLs.end() ? std::nullopt : std::optional<QString>(it->second);
}

bool ClipboardHistory::hasEntry(const QUuid &id) const
{
    return std::any_of(m_entries.begin(), m_entries.end(), [&id](const ClipboardEntry &e) { return e.id == id; });
}

void ClipboardHistory::resetRecordingLink(std::shared_ptr<RecordingAudioStore> store)
{
    m_audioStore = std::move(store);
    ++m_audioGeneration;
    m_audioURLs.clear();
    m_audioEntryIDs.clear();
    Q_EMIT audioEntriesChanged();
}

void ClipboardHistory::forgetRecordings(const std::vector<QUuid> &ids)
{
    if (ids.empty())
        return;
    for (const QUuid &id : ids) {
        m_audioURLs.erase(id);
        m_audioEntryIDs.erase(id);
    }
    Q_EMIT audioEntriesChanged();
    if (m_audioStore)
        m_audioStore->remove(ids);
}

void ClipboardHistory::recordingSaved(QUuid id, std::optional<QString> path, quint64 generation)
{
    if (generation != m_audioGeneration || !path || !hasEntry(id))
        return;
    m_audioURLs[id] = *path;
    m_audioEntryIDs.insert(id);
    Q_EMIT audioEntriesChanged();
}

void ClipboardHistory::recordingsFound(std::map<QUuid, QString> files, quint64 generation)
{
    if (generation != m_audioGeneration)
        return;
    for (auto &[id, path] : files) {
        if (!hasEntry(id))
            continue;
        m_audioURLs[id] = path;
        m_audioEntryIDs.insert(id);
    }
    Q_EMIT audioEntriesChanged();
}

void ClipboardHistory::keepRecordingsSettingDidChange()
{
    const bool keep = RecordingPlaybackSettings::keepRecordings(m_defaults);
    if (keep == m_keepRecordings)
        return;
    m_keepRecordings = keep;
    if (!keep) {
        info(QStringLiteral("Keep recordings turned off — deleting saved recordings"));
        ++m_audioGeneration;
        m_audioURLs.clear();
        m_audioEntryIDs.clear();
        Q_EMIT audioEntriesChanged();
        if (m_audioStore)
            m_audioStore->removeAll();
    }
}

QCoro::Task<> ClipboardHistory::switchTo(std::optional<QString> userID)
{
    const quint64 generation = ++m_attachGeneration;
    m_store.reset(); // closes the previous file after its queued work
    if (!userID) {
        m_entries.clear();
        Q_EMIT entriesChanged();
        resetRecordingLink(nullptr);
        info(QStringLiteral("History detached (signed out)"));
        co_return;
    }
    QPointer<ClipboardHistory> self(this);
    auto store =
        std::make_shared<ClipboardStore>(UserDataPaths::clipboardDatabase(*userID, m_dataRoot), m_scheduler, m_queues);
    m_store = store;
    m_entries.clear();
    m_recordingsWaiting.clear();
    Q_EMIT entriesChanged();
    resetRecordingLink(nullptr);
    auto loaded = co_await store->loadAll(kMaxEntries);
    // A newer switch (or this object's end) wins over a slow load.
    if (!self || generation != m_attachGeneration)
        co_return;
    // Entries added while the file was read (a dictation right after sign-in)
    // are newer than everything in it and were written after the read: they
    // go in front.
    for (const ClipboardEntry &entry : loaded) {
        if (!hasEntry(entry.id))
            m_entries.push_back(entry);
    }
    if (m_entries.size() > static_cast<size_t>(kMaxEntries))
        m_entries.resize(static_cast<size_t>(kMaxEntries));
    Q_EMIT entriesChanged();
    info(QStringLiteral("Loaded %1 entries").arg(m_entries.size()));

    resetRecordingLink(
        std::make_shared<RecordingAudioStore>(UserDataPaths::recordingsDirectory(*userID, m_dataRoot), m_queues));
    m_keepRecordings = RecordingPlaybackSettings::keepRecordings(m_defaults);
    auto waiting = std::exchange(m_recordingsWaiting, {});
    if (!m_keepRecordings) {
        m_audioStore->removeAll();
        co_return;
    }
    for (auto &[id, audio] : waiting) {
        if (hasEntry(id))
            saveRecording(id, std::move(audio));
    }
    std::set<QUuid> ids;
    for (const ClipboardEntry &entry : m_entries)
        ids.insert(entry.id);
    const quint64 audioGeneration = m_audioGeneration;
    Scheduler *scheduler = &m_scheduler;
    m_audioStore->reconcile(std::move(ids), [self, scheduler, audioGeneration](std::map<QUuid, QString> files) {
        scheduler->postFromAnyThread([self, audioGeneration, files = std::move(files)]() mutable {
            if (self)
                self->recordingsFound(std::move(files), audioGeneration);
        });
    });
}

void ClipboardHistory::saveRecording(QUuid id, QByteArray audio)
{
    QPointer<ClipboardHistory> self(this);
    Scheduler *scheduler = &m_scheduler;
    const quint64 generation = m_audioGeneration;
    ++m_recordingsSaving;
    m_audioStore->save(std::move(audio), id, [self, scheduler, generation, id](std::optional<QString> path) {
        scheduler->postFromAnyThread([self, generation, id, path] {
            if (!self)
                return;
            --self->m_recordingsSaving;
            self->recordingSaved(id, path, generation);
        });
    });
}

QCoro::Task<> ClipboardHistory::add(QString text, std::optional<QString> source, std::optional<QString> windowName,
                                    bool aiProcessed)
{
    co_await add(std::move(text), std::move(source), std::move(windowName), aiProcessed, std::nullopt);
}

QCoro::Task<> ClipboardHistory::add(QString text, std::optional<QString> source, std::optional<QString> windowName,
                                    bool aiProcessed, std::optional<QByteArray> audio)
{
    if (!m_store) {
        logs::error(logs::clipboardHistory(), QStringLiteral("add() with no attached store — dropping entry"));
        co_return;
    }
    ClipboardEntry entry{QUuid::createUuid(), std::move(text),       m_scheduler.wallNow(),
                         std::move(source),   std::move(windowName), aiProcessed};
    m_entries.insert(m_entries.begin(), entry);
    std::vector<QUuid> dropped;
    while (m_entries.size() > static_cast<size_t>(kMaxEntries)) {
        dropped.push_back(m_entries.back().id);
        m_entries.pop_back();
    }
    Q_EMIT entriesChanged();
    forgetRecordings(dropped);

    if (audio && m_keepRecordings) {
        if (m_audioStore)
            saveRecording(entry.id, std::move(*audio));
        else // the user's history is still loading
            m_recordingsWaiting.emplace_back(entry.id, std::move(*audio));
    }

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
    forgetRecordings({id});
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
    m_audioURLs.clear();
    m_audioEntryIDs.clear();
    Q_EMIT audioEntriesChanged();
    if (m_audioStore)
        m_audioStore->removeAll();
    if (!m_store)
        co_return;
    const auto store = m_store;
    auto write = [](DBHandle &db) { db.removeAll(); };
    co_await store->write(std::move(write));
}

} // namespace dravelin
