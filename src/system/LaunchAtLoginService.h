#pragma once

#include <QObject>
#include <QString>

namespace dravelin {

// Starting Dravelin when the user logs in, through an XDG autostart entry:
// <autostart directory>/dravelin.desktop. The file is the only state: the
// user's desktop may edit or hide it, so every read goes to the disk.
// Main thread only.
class LaunchAtLoginService final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged)
public:
    static constexpr const char *kFileName = "dravelin.desktop";

    // `program` is what the entry starts (written quoted as the desktop entry
    // rules require).
    explicit LaunchAtLoginService(QString autostartDirectory = defaultAutostartDirectory(),
                                  QString program = defaultProgram(), QObject *parent = nullptr);

    // $XDG_CONFIG_HOME/autostart (~/.config/autostart by default).
    static QString defaultAutostartDirectory();
    // The running executable's absolute path.
    static QString defaultProgram();

    QString entryPath() const;

    // The entry exists, is a desktop entry starting a program of our name,
    // and is neither Hidden nor switched off with X-GNOME-Autostart-enabled.
    bool isEnabled() const;

    // Writes (atomically) or removes the entry. Failures are logged; the
    // state is read back from the disk either way.
    void setEnabled(bool enabled);

    // The entry as written.
    QByteArray entryContents() const;

    // `program` as one argument of an Exec line, quoted and escaped when it needs to be.
    static QString execArgument(const QString &program);
    // The program an Exec line starts (its first argument, unquoted); empty when malformed.
    static QString execProgram(const QString &exec);

Q_SIGNALS:
    void enabledChanged(bool enabled);

private:
    QString m_directory;
    QString m_program;
};

} // namespace dravelin
