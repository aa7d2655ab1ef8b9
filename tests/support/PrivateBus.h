#pragma once

// A D-Bus daemon of the test's own, so nothing reaches the user's session,
// and named connections to it that end with it.

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace dravelin::test {

class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                        QStringLiteral("--print-address"),
                        QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
        if (!m_daemon.waitForReadyRead(5000))
            ADD_FAILURE() << "dbus-daemon did not start";
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        for (const QString &name : std::as_const(m_connections))
            QDBusConnection::disconnectFromBus(name);
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    const QString &address() const { return m_address; }
    // A new connection, as another process would have.
    QDBusConnection connect(QStringView role)
    {
        static int count = 0;
        const QString name = QStringLiteral("%1-%2").arg(role).arg(++count);
        m_connections << name;
        return QDBusConnection::connectToBus(m_address, name);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};

} // namespace dravelin::test
