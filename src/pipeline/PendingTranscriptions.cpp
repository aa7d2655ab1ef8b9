#include "pipeline/PendingTranscriptions.h"

#include "core/Json.h"
#include "core/Log.h"
#include "output/UserDataPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::pending(), message);
}

QString idString(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

// Written in full or not at all, readable by the user only.
bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly);
    if (opened)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner); // a file system without modes ignores it
    if (!opened || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), file.errorString());
        return false;
    }
    return true;
}

// Reads every valid item of `dir`, oldest first. On the queue.
QList<PendingItem> loadFolder(const QString &dir)
{
    QList<PendingItem> items;
    const QFileInfoList sidecars = QDir(dir).entryInfoList({QStringLiteral("*.json")}, QDir::Files);
    for (const QFileInfo &sidecar : sidecars) {
        if (sidecar.size() > PendingTranscriptions::maxSidecarBytes)
            continue;
        QFile file(sidecar.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        auto item = PendingTranscriptions::decodeSidecar(file.readAll());
        if (!item)
            continue;
        const QFileInfo audio(QDir(dir).filePath(idString(item->id) + QStringLiteral(".m4a")));
        if (!audio.isFile())
            continue;
        item->audioPath = audio.filePath();
        item->sidecarPath = sidecar.filePath();
        item->audioBytes = audio.size();
        items << *item;
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const PendingItem &a, const PendingItem &b) { return a.createdAt < b.createdAt; });
    return items;
}

// <user directory>/pending, created (a failure shows later, as a failed save).
QString pendingFolder(const QString &userID, const QString &dataRoot)
{
    const QString dir = QDir(UserDataPaths::userDirectory(userID, dataRoot)).filePath(QStringLiteral("pending"));
    UserDataPaths::makePrivateFolder(dir);
    return dir;
}

} // namespace

PendingTranscriptions::PendingTranscriptions(Scheduler &scheduler, QString dataRoot, const QueueFactory &queues,
                                             QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_dataRoot(std::move(dataRoot))
    , m_queue((queues ? queues : threadQueues())(QStringLiteral("com.dravelin.pending")))
{}

PendingTranscriptions::~PendingTranscriptions() = default;

QByteArray PendingTranscriptions::encodeSidecar(const PendingItem &item)
{
    json::Json object;
    object["id"] = idString(item.id);
    object["createdAt"] = static_cast<double>(item.createdAt.toMSecsSinceEpoch()) / 1000.0;
    json::putOptional(object, "durationMs", item.durationMs);
    json::putOptional(object, "appBundleID", item.appBundleID);
    object["attempts"] = item.attempts;
    json::putOptional(object, "lastError", item.lastError);
    if (item.clientRecordingId)
        object["clientRecordingId"] = idString(*item.clientRecordingId);
    return json::encode(object);
}

std::optional<PendingItem> PendingTranscriptions::decodeSidecar(const QByteArray &bytes)
{
    if (bytes.size() > maxSidecarBytes)
        return std::nullopt;
    const auto parsed = json::parse(bytes);
    if (!parsed)
        return std::nullopt;
    const auto id = json::requiredField<QString>(*parsed, "id");
    const auto createdAt = json::requiredField<double>(*parsed, "createdAt");
    const auto attempts = json::requiredField<qint64>(*parsed, "attempts");
    if (!id || !createdAt || !attempts || !std::isfinite(*createdAt) || std::abs(*createdAt) > 1e11)
        return std::nullopt;
    PendingItem item;
    item.id = QUuid::fromString(*id);
    if (item.id.isNull())
        return std::nullopt;
    item.createdAt = QDateTime::fromMSecsSinceEpoch(std::llround(*createdAt * 1000.0), Qt::UTC);
    item.attempts = static_cast<int>(std::clamp<qint64>(*attempts, 0, 1'000'000));
    item.durationMs = json::optionalField<qint64>(*parsed, "durationMs");
    item.appBundleID = json::optionalField<QString>(*parsed, "appBundleID");
    item.lastError = json::optionalField<QString>(*parsed, "lastError");
    if (const auto client = json::optionalField<QString>(*parsed, "clientRecordingId")) {
        const QUuid parsedID = QUuid::fromString(*client);
        if (!parsedID.isNull())
            item.clientRecordingId = parsedID;
    }
    return item;
}

void PendingTranscriptions::setItems(QList<PendingItem> items)
{
    m_items = std::move(items);
    Q_EMIT itemsChanged();
}

QCoro::Task<> PendingTranscriptions::switchTo(std::optional<QString> userID)
{
    ++m_generation;
    if (!userID) {
        m_dir.reset();
        setItems({});
        info(QStringLiteral("Pending detached (signed out)"));
        co_return;
    }
    m_dir = pendingFolder(*userID, m_dataRoot);
    setItems({});
    co_await refresh();
}

QCoro::Task<> PendingTranscriptions::refresh()
{
    QPointer self(this);
    if (!m_dir) {
        setItems({});
        co_return;
    }
    const quint64 generation = m_generation;
    const QString dir = *m_dir;
    QList<PendingItem> loaded;
    // A save or removal made while the folder was read is read again, so
    // nothing added meanwhile goes missing and nothing removed comes back.
    for (;;) {
        const quint64 changes = m_changes;
        auto load = [dir] { return loadFolder(dir); };
        loaded = co_await onQueue(*m_queue, m_scheduler, std::move(load));
        if (!self || generation != m_generation)
            co_return;
        if (changes == m_changes)
            break;
    }
    setItems(std::move(loaded));
    info(QStringLiteral("Pending refreshed: %1 item(s)").arg(m_items.size()));
}

QCoro::Task<Expected<PendingItem, QString>> PendingTranscriptions::save(QByteArray audio,
                                                                        std::optional<qint64> durationMs,
                                                                        std::optional<QString> appBundleID,
                                                                        std::optional<QUuid> clientRecordingId)
{
    QPointer self(this);
    if (!m_dir)
        co_return Unexpected(QStringLiteral("No signed-in account to store audio for"));
    ++m_changes;
    PendingItem item;
    item.id = QUuid::createUuid();
    item.audioPath = QDir(*m_dir).filePath(idString(item.id) + QStringLiteral(".m4a"));
    item.sidecarPath = QDir(*m_dir).filePath(idString(item.id) + QStringLiteral(".json"));
    item.createdAt = m_scheduler.wallNow();
    item.durationMs = durationMs;
    item.appBundleID = std::move(appBundleID);
    item.clientRecordingId = clientRecordingId;
    item.audioBytes = audio.size();
    const quint64 generation = m_generation;
    auto write = [item, audio = std::move(audio)] {
        QString error;
        if (!writeAtomically(item.audioPath, audio, &error))
            return error;
        if (!writeAtomically(item.sidecarPath, encodeSidecar(item), &error)) {
            QFile::remove(item.audioPath);
            return error;
        }
        return QString();
    };
    const QString written = co_await onQueue(*m_queue, m_scheduler, std::move(write));
    if (!written.isEmpty())
        co_return Unexpected(written);
    // Saved for a user who has signed out meanwhile: on disk, not in this list.
    if (self && generation == m_generation) {
        m_items << item;
        Q_EMIT itemsChanged();
    }
    info(QStringLiteral("Pending item saved: %1 bytes=%2").arg(idString(item.id)).arg(item.audioBytes));
    co_return item;
}

QCoro::Task<> PendingTranscriptions::remove(QUuid id)
{
    const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const PendingItem &i) { return i.id == id; });
    if (it == m_items.end())
        co_return;
    ++m_changes;
    const PendingItem item = *it;
    m_items.erase(it);
    Q_EMIT itemsChanged();
    QPointer self(this);
    auto erase = [item] {
        QFile::remove(item.audioPath);
        QFile::remove(item.sidecarPath);
        return true;
    };
    co_await onQueue(*m_queue, m_scheduler, std::move(erase));
    info(QStringLiteral("Pending item removed: %1").arg(idString(id)));
}

QCoro::Task<> PendingTranscriptions::recordFailure(QUuid id, QString error)
{
    const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const PendingItem &i) { return i.id == id; });
    if (it == m_items.end())
        co_return;
    ++m_changes;
    it->attempts += 1;
    it->lastError = std::move(error);
    const PendingItem item = *it;
    Q_EMIT itemsChanged();
    QPointer self(this);
    auto rewrite = [item] {
        QString writeError;
        writeAtomically(item.sidecarPath, encodeSidecar(item), &writeError);
        return writeError;
    };
    const QString failed = co_await onQueue(*m_queue, m_scheduler, std::move(rewrite));
    if (!failed.isEmpty())
        logs::error(logs::pending(), QStringLiteral("Pending sidecar not updated: %1").arg(failed));
    info(QStringLiteral("Pending failure recorded: %1 attempts=%2").arg(idString(id)).arg(item.attempts));
}

QCoro::Task<std::optional<QByteArray>> PendingTranscriptions::audio(PendingItem item)
{
    auto read = [path = item.audioPath]() -> std::optional<QByteArray> {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return file.readAll();
    };
    co_return co_await onQueue(*m_queue, m_scheduler, std::move(read));
}

} // namespace dravelin
