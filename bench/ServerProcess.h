#pragma once

#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>

#include <cstdio>

namespace dravelin::bench {

// Starts the dravelin-server at `path` for a benchmark: on a free loopback
// port, with `dataDir` as its data, quiet, plus `extra` arguments. Its port
// once it says it is up, or 0 (with the reason on stderr).
inline quint16 startServer(QProcess &server, const QString &path, const QString &dataDir, const QStringList &extra = {})
{
    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(path, QStringList{QStringLiteral("--port"), QString::number(port), QStringLiteral("--data-dir"),
                                   dataDir, QStringLiteral("--quiet")} +
                           extra);
    if (!server.waitForReadyRead(20000)) {
        std::fprintf(stderr, "dravelin-server did not start (%s)\n", qPrintable(path));
        return 0;
    }
    return port;
}

} // namespace dravelin::bench
