#include "output/UserDataPaths.h"

#include "core/Paths.h"

#include <QDir>

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
    const QString dir = base + QStringLiteral("/users/") + sanitize(userID);
    QDir().mkpath(dir);
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
