#include "core/Paths.h"

#include <QDir>

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

} // namespace dravelin::paths
