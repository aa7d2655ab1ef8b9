#pragma once

#include "platform/AppControl.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace dravelin::nix {

// The running app's control interface on the D-Bus session bus:
// org.dravelin.Dravelin at /org/dravelin/Dravelin, one method per action.
// Every method answers at once. One process owns the name; a second one that
// tries is told so in the log and stays unreachable over D-Bus.
class DBusAppControl final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.dravelin.Dravelin")
public:
    static constexpr const char *kServiceName = "org.dravelin.Dravelin";
    static constexpr const char *kObjectPath = "/org/dravelin/Dravelin";
    static constexpr const char *kInterface = "org.dravelin.Dravelin";

    DBusAppControl(AppControlActions actions, QDBusConnection connection, QObject *parent = nullptr);
    ~DBusAppControl() override;

    // Exports the object and asks for the name without waiting for the answer
    // (nameRequestFinished reports it). False when there is no bus or the
    // object path is taken in this process.
    bool publish();

    // The command-line side: calls `method` on the running app and waits for
    // its answer.
    enum class CallResult {
        done,
        notRunning, // no process owns the name
        noBus,      // the session bus cannot be reached
        failed,     // the call reached the app and failed
    };
    static CallResult callRunningApp(QDBusConnection connection, const QString &method, QString *detail = nullptr);

public Q_SLOTS:
    void Toggle();
    void Start();
    void Stop();
    void Cancel();
    void PrivatePaste();
    void RewriteSelection();
    QString State() const;

Q_SIGNALS:
    // `owned`: this process holds the name and answers commands.
    void nameRequestFinished(bool owned);

private:
    AppControlActions m_actions;
    QDBusConnection m_connection;
    bool m_exported = false;
    bool m_ownsName = false;
};

} // namespace dravelin::nix
