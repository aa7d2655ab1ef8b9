#include "system/LaunchAtLoginService.h"

#include "core/Log.h"
#include "core/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <map>
#include <optional>

namespace dravelin {

namespace {

constexpr qint64 kMaxEntryBytes = 64 * 1024;

// The keys of the [Desktop Entry] group; nothing when the file has no such group.
std::optional<std::map<QString, QString>> desktopEntryKeys(const QByteArray &bytes)
{
    std::optional<std::map<QString, QString>> keys;
    bool inEntry = false;
    for (const QByteArray &rawLine : bytes.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inEntry = line == u"[Desktop Entry]";
            if (inEntry && !keys)
                keys.emplace();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inEntry || equals <= 0)
            continue;
        keys->emplace(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

// The string escapes of a desktop entry value (\s \n \t \r \\).
QString unescapeValue(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == u's')
            out += u' ';
        else if (next == u'n')
            out += u'\n';
        else if (next == u't')
            out += u'\t';
        else if (next == u'r')
            out += u'\r';
        else
            out += next;
    }
    return out;
}

bool isTrue(const std::map<QString, QString> &keys, const QString &key)
{
    const auto it = keys.find(key);
    return it != keys.end() && it->second.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

bool isFalse(const std::map<QString, QString> &keys, const QString &key)
{
    const auto it = keys.find(key);
    return it != keys.end() && it->second.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0;
}

} // namespace

LaunchAtLoginService::LaunchAtLoginService(QString autostartDirectory, QString program, QObject *parent)
    : QObject(parent)
    , m_directory(std::move(autostartDirectory))
    , m_program(std::move(program))
{}

QString LaunchAtLoginService::defaultAutostartDirectory()
{
    return paths::configHome() + QStringLiteral("/autostart");
}

QString LaunchAtLoginService::defaultProgram()
{
    return QCoreApplication::applicationFilePath();
}

QString LaunchAtLoginService::entryPath() const
{
    return m_directory + u'/' + QString::fromLatin1(kFileName);
}

bool LaunchAtLoginService::isEnabled() const
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto keys = desktopEntryKeys(file.read(kMaxEntryBytes));
    if (!keys)
        return false;
    const auto type = keys->find(QStringLiteral("Type"));
    const auto exec = keys->find(QStringLiteral("Exec"));
    if (type == keys->end() || type->second != u"Application" || exec == keys->end())
        return false;
    // Ours when it starts a program of our name, wherever that lives now.
    const QString program = execProgram(unescapeValue(exec->second));
    if (program.isEmpty() || QFileInfo(program).fileName() != QFileInfo(m_program).fileName())
        return false;
    return !isTrue(*keys, QStringLiteral("Hidden")) && !isFalse(*keys, QStringLiteral("X-GNOME-Autostart-enabled"));
}

void LaunchAtLoginService::setEnabled(bool enabled)
{
    const bool before = isEnabled();
    QString failure;
    if (enabled) {
        QSaveFile file(entryPath());
        if (!QDir().mkpath(m_directory))
            failure = QStringLiteral("cannot create %1").arg(m_directory);
        else if (!file.open(QIODevice::WriteOnly) || file.write(entryContents()) < 0 || !file.commit())
            failure = QStringLiteral("cannot write %1: %2").arg(entryPath(), file.errorString());
    } else {
        QFile file(entryPath());
        if (file.exists() && !file.remove())
            failure = QStringLiteral("cannot remove %1: %2").arg(entryPath(), file.errorString());
    }
    if (failure.isEmpty())
        logs::info(logs::launchAtLogin(), QStringLiteral("Launch at login: %1")
                                              .arg(enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")));
    else
        logs::error(logs::launchAtLogin(), QStringLiteral("Toggle failed: %1").arg(failure));
    const bool after = isEnabled();
    if (after != before)
        Q_EMIT enabledChanged(after);
}

QByteArray LaunchAtLoginService::entryContents() const
{
    QString exec = execArgument(m_program);
    // The string escapes of the value come last, over the quoting.
    exec.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'\n', QStringLiteral("\\n"))
        .replace(u'\t', QStringLiteral("\\t"));
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Dravelin\n"
                                        "Comment=Dictate into any application\n"
                                        "Exec=%1\n"
                                        "Icon=dravelin\n"
                                        "Terminal=false\n"
                                        "NoDisplay=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(exec);
    return text.toUtf8();
}

QString LaunchAtLoginService::execArgument(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString argument = program;
    const bool quote = std::any_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
    if (quote) {
        QString escaped;
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                escaped += u'\\';
            escaped += c;
        }
        argument = u'"' + escaped + u'"';
    }
    return argument.replace(u'%', QStringLiteral("%%"));
}

QString LaunchAtLoginService::execProgram(const QString &exec)
{
    const QString line = exec.trimmed();
    QString program;
    if (line.startsWith(u'"')) {
        qsizetype i = 1;
        for (; i < line.size() && line[i] != u'"'; ++i) {
            if (line[i] == u'\\' && i + 1 < line.size())
                ++i;
            program += line[i];
        }
        if (i >= line.size())
            return {}; // no closing quote
    } else {
        const auto end = std::find_if(line.begin(), line.end(), [](QChar c) { return c.isSpace(); });
        program = line.left(end - line.begin());
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

} // namespace dravelin
