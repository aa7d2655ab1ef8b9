// dravelin: the desktop dictation assistant. At this stage it reports its
// version, the settings file in use and what the machine offers it.

#include "core/Log.h"
#include "core/LogHandler.h"
#include "core/Paths.h"
#include "core/UserDefaults.h"
#include "platform/PlatformCheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace dravelin;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dravelin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVELIN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Dravelin — dictation into any application"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Also print log lines on standard error."));
    parser.addOption(verbose);
    parser.process(app);

    logs::Router::install();
    logs::Router::addSink(std::make_shared<logs::RotatingFileSink>(paths::stateDir()));
    if (logs::JournalSink::isAvailable())
        logs::Router::addSink(std::make_shared<logs::JournalSink>());
    if (parser.isSet(verbose))
        logs::Router::addSink(std::make_shared<logs::StderrSink>());

    UserDefaults defaults(UserDefaults::standardFilePath());
    const PlatformReport report = checkPlatform();

    std::printf("Dravelin %s\n", DRAVELIN_VERSION);
    std::printf("Settings: %s%s\n", qPrintable(defaults.filePath()),
                defaults.contains(QStringLiteral("recording.mode")) || QFile::exists(defaults.filePath())
                    ? ""
                    : " (not created yet)");
    std::printf("Logs:     %s/dravelin.log\n", qPrintable(paths::stateDir()));
    std::printf("Data:     %s\n", qPrintable(paths::dataDir()));
    std::printf("Platform check:\n%s", qPrintable(report.format()));
    logs::info(logs::app(), QStringLiteral("Platform check: X display %1, sound server %2")
                                .arg(report.isAvailable(QStringLiteral("X display")) ? QStringLiteral("ok")
                                                                                     : QStringLiteral("missing"),
                                     report.isAvailable(QStringLiteral("Sound server")) ? QStringLiteral("ok")
                                                                                        : QStringLiteral("missing")));
    return 0;
}
