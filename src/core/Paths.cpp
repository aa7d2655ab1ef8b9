#include "core/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace dravelin::paths {

namespace {
QString fromEnv(const char *name, const QString &fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(name);
    // XDG: a relative path in these variables is invalid and must be ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::homePath() + u'/' + fallbackUnderHome;
}
} // namespace

QString configHome()
{
    return fromEnv("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString stateHome()
{
    return fromEnv("XDG_STATE_HOME", QStringLiteral(".local/state"));
}

QString dataHome()
{
    return fromEnv("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QString configDir()
{
    return configHome() + QStringLiteral("/dravelin");
}

QString stateDir()
{
    return stateHome() + QStringLiteral("/dravelin");
}

QString dataDir()
{
    return dataHome() + QStringLiteral("/dravelin");
}

QStringList modelFolders()
{
    QStringList folders{dataDir() + QStringLiteral("/models")};
    const QStringList shared = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    for (const QString &dir : shared) {
        const QString folder = dir + QStringLiteral("/dravelin/models");
        if (!folders.contains(folder))
            folders << folder;
    }
#ifdef DRAVELIN_DEFAULT_WHISPER_MODEL
    const QString built = QFileInfo(QStringLiteral(DRAVELIN_DEFAULT_WHISPER_MODEL)).absolutePath();
    if (!folders.contains(built))
        folders << built;
#endif
    return folders;
}

} // namespace dravelin::paths
