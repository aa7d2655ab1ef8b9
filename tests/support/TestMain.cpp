// Test main: a Qt application for code that needs one, and a private XDG
// layout and temporary directory so no test touches the user's settings, logs
// or data, and test processes running side by side never see each other's files.

#include "core/LogHandler.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gmock/gmock.h>

int main(int argc, char **argv)
{
    QTemporaryDir home;
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, (home.path() + QLatin1Char('/') + QString::fromLatin1(name)).toUtf8());
    QTemporaryDir scratch;
    qputenv("TMPDIR", scratch.path().toUtf8());
    QCoreApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    dravelin::logs::Router::install();
    return RUN_ALL_TESTS();
}
