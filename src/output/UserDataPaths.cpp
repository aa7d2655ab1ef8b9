#include "output/UserDataPaths.h"

#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

namespace dravelin::UserDataPaths {

QString root()
{
    return paths::dataDir();
}

QString sanitize(const QString &userID)
{
    QString kept;
    for (const char32_t c : userID.toUcs4()) {
        if (QChar::isLetterOrNumber(c) || c == U'-' || c == U'_')
            kept += QString::fromUcs4(&c, 1);
    }
    return kept.isEmpty() ? QStringLiteral("unknown") : kept;
}

namespace {

constexpr QFile::Permissions kPrivateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kPrivateFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions kOthers =
    QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

// Takes the group's and others' access away from an existing file or folder.
void tighten(const QString &path, QFile::Permissions wanted)
{
    if (QFile::permissions(path) & kOthers)
        QFile::setPermissions(path, wanted);
}

} // namespace

bool makePrivateFolder(const QString &path)
{
    const QString target = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QString at = target; !QFileInfo::exists(at);) {
        missing.prepend(at);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            break;
        at = parent;
    }
    for (const QString &folder : std::as_const(missing))
        QDir().mkdir(folder, kPrivateFolder);
    if (!QFileInfo(target).isDir())
        return false;
    tighten(target, kPrivateFolder);
    return true;
}

bool makePrivateFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly, kPrivateFile))
            return false;
    } else if (!info.isFile()) {
        return false;
    }
    tighten(path, kPrivateFile);
    return true;
}

bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    const bool written =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate, kPrivateFile) && file.write(bytes) == bytes.size();
    if (!written) {
        if (error)
            *error = file.errorString();
        return false;
    }
    file.close();
    tighten(path, kPrivateFile);
    return true;
}

QString userDirectory(const QString &userID, const QString &base)
{
    // Dictations, recordings and the retry queue are private: the folder of
    // users and each user's folder are readable by their owner only, so what
    // is inside cannot be read by other accounts on a shared machine. The
    // data folder above them is an ordinary one.
    const QString users = base + QStringLiteral("/users");
    const QString dir = users + QStringLiteral("/") + sanitize(userID);
    QDir().mkpath(base);
    makePrivateFolder(users);
    makePrivateFolder(dir);
    return dir;
}

QString clipboardDatabase(const QString &userID, const QString &base)
{
    return userDirectory(userID, base) + QStringLiteral("/clipboard.sqlite");
}

QString recordingsDirectory(const QString &userID, const QString &base)
{
    return userDirectory(userID, base) + QStringLiteral("/recordings");
}

} // namespace dravelin::UserDataPaths
