#include "output/UserDataPaths.h"

#include "core/Paths.h"

#include <QDir>
#include <QFile>

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

QString userDirectory(const QString &userID, const QString &base)
{
    // Dictations, recordings and the retry queue are private: the user's
    // folder (and the folder of users) is readable by its owner only, so
    // what is inside cannot be read by other accounts on a shared machine,
    // whatever the modes of the files themselves.
    const QString users = base + QStringLiteral("/users");
    const QString dir = users + QStringLiteral("/") + sanitize(userID);
    QDir().mkpath(dir);
    const auto others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    for (const QString &path : {users, dir}) {
        if (QFile::permissions(path) & others)
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
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
