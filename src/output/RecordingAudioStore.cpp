#include "output/RecordingAudioStore.h"

#include "core/Log.h"
#include "core/UserDefaults.h"
#include "output/RecordingTranscoder.h"
#include "output/UserDataPaths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace dravelin {

namespace {

const QStringList kExtensions{QStringLiteral("m4a"), QStringLiteral("wav")};

void info(const QString &message)
{
    logs::info(logs::recordingStore(), message);
}

void error(const QString &message)
{
    logs::error(logs::recordingStore(), message);
}

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

bool writeFile(const QString &path, const QByteArray &data, QString *failure)
{
    return UserDataPaths::writePrivateFile(path, data, failure);
}

} // namespace

bool RecordingPlaybackSettings::keepRecordings(const UserDefaults &defaults)
{
    return defaults.boolValue(QString::fromLatin1(kKeepRecordingsKey), true);
}

RecordingAudioStore::RecordingAudioStore(QString directory, const QueueFactory &queues)
    : m_directory(std::move(directory))
    , m_queue(queues(QStringLiteral("com.dravelin.recording-store")))
{}

RecordingAudioStore::~RecordingAudioStore() = default;

std::optional<QString> RecordingAudioStore::write(const QString &directory, const QUuid &id, const QByteArray &data)
{
    const QDir dir(directory);
    if (!UserDataPaths::makePrivateFolder(directory)) {
        error(QStringLiteral("Can't create recordings directory: %1").arg(directory));
        return std::nullopt;
    }
    const QString m4a = dir.filePath(idText(id) + QStringLiteral(".m4a"));
    QString failure;
    switch (RecordingTranscoder::sniff(data)) {
    case RecordingTranscoder::Container::wav: {
        QElapsedTimer timer;
        timer.start();
        const QString temp = QStringLiteral(".tmp-") + idText(QUuid::createUuid());
        const QString tempWav = dir.filePath(temp + QStringLiteral(".wav"));
        const QString tempM4a = dir.filePath(temp + QStringLiteral(".m4a"));
        std::optional<QString> saved;
        Expected<void, RecordingTranscoder::TranscodeError> encoded =
            Unexpected(RecordingTranscoder::TranscodeError{RecordingTranscoder::TranscodeError::Kind::io, {}});
        if (writeFile(tempWav, data, &failure))
            encoded = RecordingTranscoder::encodeAAC(tempWav, tempM4a);
        else
            encoded =
                Unexpected(RecordingTranscoder::TranscodeError{RecordingTranscoder::TranscodeError::Kind::io, failure});
        if (encoded) {
            QFile::remove(m4a);
            if (QFile::rename(tempM4a, m4a)) {
                info(QStringLiteral("⏱ recording saved (WAV→M4A, %1 → %2 bytes) in %3 ms, off the dictation path")
                         .arg(data.size())
                         .arg(QFileInfo(m4a).size())
                         .arg(timer.elapsed()));
                saved = m4a;
            } else {
                error(QStringLiteral("Saving recording failed: could not move the encoded file into place"));
            }
        } else {
            error(
                QStringLiteral("AAC encode failed (%1) — keeping the WAV instead").arg(encoded.error().description()));
            const QString wav = dir.filePath(idText(id) + QStringLiteral(".wav"));
            if (writeFile(wav, data, &failure))
                saved = wav;
            else
                error(QStringLiteral("Saving recording failed: %1").arg(failure));
        }
        QFile::remove(tempWav);
        QFile::remove(tempM4a);
        return saved;
    }
    case RecordingTranscoder::Container::mpeg4:
        if (!writeFile(m4a, data, &failure)) {
            error(QStringLiteral("Saving recording failed: %1").arg(failure));
            return std::nullopt;
        }
        return m4a;
    case RecordingTranscoder::Container::unknown:
        break;
    }
    error(QStringLiteral("Recording in an unrecognized container (%1 bytes) — not saved").arg(data.size()));
    return std::nullopt;
}

std::map<QUuid, QString> RecordingAudioStore::prune(const QString &directory, const std::set<QUuid> &keeping)
{
    std::map<QUuid, QString> files;
    const QDir dir(directory);
    if (!dir.exists())
        return files;
    int pruned = 0;
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
        const QString path = dir.filePath(name);
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString ext = dot < 0 ? QString() : name.mid(dot + 1).toLower();
        const QString base = dot < 0 ? name : name.left(dot);
        const QUuid id = QUuid::fromString(base);
        if (!kExtensions.contains(ext) || id.isNull() || !keeping.count(id)) {
            QFile::remove(path);
            ++pruned;
            continue;
        }
        const auto existing = files.find(id);
        if (existing == files.end()) {
            files[id] = path;
        } else if (ext == u"m4a") {
            QFile::remove(existing->second); // the WAV fallback lost to an M4A
            existing->second = path;
        } else {
            QFile::remove(path);
        }
    }
    if (pruned > 0)
        info(QStringLiteral("Pruned %1 orphaned recording file(s)").arg(pruned));
    return files;
}

void RecordingAudioStore::save(QByteArray data, QUuid id, SaveCompletion completion)
{
    m_queue->enqueue([dir = m_directory, data = std::move(data), id, completion = std::move(completion)] {
        const auto path = write(dir, id, data);
        if (completion)
            completion(path);
    });
}

void RecordingAudioStore::remove(std::vector<QUuid> ids)
{
    m_queue->enqueue([dir = m_directory, ids = std::move(ids)] {
        const QDir directory(dir);
        for (const QUuid &id : ids) {
            for (const QString &ext : kExtensions)
                QFile::remove(directory.filePath(idText(id) + u'.' + ext));
        }
    });
}

void RecordingAudioStore::removeAll()
{
    m_queue->enqueue([dir = m_directory] {
        QDir directory(dir);
        if (!directory.exists())
            return;
        if (directory.removeRecursively())
            info(QStringLiteral("Deleted all saved recordings"));
        else
            error(QStringLiteral("Deleting saved recordings failed: %1").arg(dir));
    });
}

void RecordingAudioStore::reconcile(std::set<QUuid> keeping, ReconcileCompletion completion)
{
    m_queue->enqueue([dir = m_directory, keeping = std::move(keeping), completion = std::move(completion)] {
        auto files = prune(dir, keeping);
        if (completion)
            completion(std::move(files));
    });
}

} // namespace dravelin
