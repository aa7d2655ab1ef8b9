// dravelin: the desktop dictation assistant. Lives in the tray; global hotkeys
// start and stop dictation in any application.

#include "ExitCodes.h"
#include "account/AppConstants.h"
#include "account/AuthService.h"
#include "core/Log.h"
#include "core/LogHandler.h"
#include "core/Paths.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyService.h"
#include "pipeline/RecordingPipeline.h"
#include "pipeline/ServiceContainer.h"
#include "platform/PlatformCheck.h"
#include "platform/linux/DBusAppControl.h"
#include "platform/linux/XErrorTrap.h"
#include "system/PermissionsService.h"
#include "ui/BluetoothMicrophonePanel.h"
#include "ui/IndicatorPanel.h"
#include "ui/MainWindow.h"
#include "ui/Navigation.h"
#include "ui/OnboardingFlow.h"
#include "ui/TrayIcons.h"
#include "ui/TrayMenu.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace dravelin;

namespace {

// One Dravelin per user and display: a second launch asks the running one to
// open its window, then exits.
QString instanceName()
{
    QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("WAYLAND_DISPLAY");
    display.remove(QLatin1Char('/'));
    return QStringLiteral("dravelin-%1-%2").arg(getuid()).arg(display);
}

// `route` empty: the window as it was; otherwise that screen.
bool askRunningInstanceToOpen(const QString &route)
{
    QLocalSocket socket;
    socket.connectToServer(instanceName());
    if (!socket.waitForConnected(500))
        return false;
    socket.write(route.isEmpty() ? QByteArray("open\n") : "open " + route.toUtf8() + '\n');
    socket.waitForBytesWritten(500);
    return true;
}

// Switches that ask the running Dravelin to act, over D-Bus, and exit: what a
// desktop's custom shortcut runs where global key grabs do not work.
struct ControlSwitch
{
    const char *name;
    const char *method;
    const char *help;
};
constexpr ControlSwitch kControlSwitches[] = {
    {"toggle", "Toggle", "Start dictation, or stop it and type the text (as the record shortcut in toggle mode)."},
    {"start", "Start", "Start dictation if none is running."},
    {"stop", "Stop", "Stop the running dictation and type the text."},
    {"cancel", "Cancel", "Discard the running dictation."},
    {"private-paste", "PrivatePaste", "Type the latest transcript again."},
    {"rewrite-selection", "RewriteSelection", "Rewrite the selected text."},
};

// The control switch on the command line, unless help or the version was asked for.
const ControlSwitch *controlSwitchIn(int argc, char *argv[])
{
    const ControlSwitch *found = nullptr;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version")
            return nullptr;
        for (const ControlSwitch &each : kControlSwitches)
            if (!found && arg == QByteArray("--") + each.name)
                found = &each;
    }
    return found;
}

// Needs no display and takes no hotkeys: only the session bus.
int sendControl(const ControlSwitch &control)
{
    QString detail;
    switch (nix::DBusAppControl::callRunningApp(QDBusConnection::sessionBus(), QString::fromLatin1(control.method),
                                                &detail)) {
    case nix::DBusAppControl::CallResult::done:
        return cli::exitOk;
    case nix::DBusAppControl::CallResult::notRunning:
        std::fprintf(stderr, "Dravelin is not running; start it first (dravelin)\n");
        return cli::exitUnreachable;
    case nix::DBusAppControl::CallResult::noBus:
        std::fprintf(stderr,
                     "Dravelin is not running; start it first (dravelin). There is no D-Bus session bus to reach "
                     "it on: %s\n",
                     qPrintable(detail));
        return cli::exitUnreachable;
    case nix::DBusAppControl::CallResult::failed:
        break;
    }
    std::fprintf(stderr, "Dravelin did not accept --%s: %s\n", control.name, qPrintable(detail));
    return cli::exitFailed;
}

void printReport(const PlatformReport &report, const UserDefaults &defaults)
{
    std::printf("Dravelin %s\n", DRAVELIN_VERSION);
    std::printf("Settings: %s%s\n", qPrintable(defaults.filePath()),
                QFile::exists(defaults.filePath()) ? "" : " (not created yet)");
    if (const auto &aside = defaults.setAside())
        std::printf("          could not be read (%s); set aside as %s — starting from defaults\n",
                    qPrintable(aside->reason), qPrintable(aside->path));
    std::printf("Logs:     %s/dravelin.log\n", qPrintable(paths::stateDir()));
    std::printf("Data:     %s\n", qPrintable(paths::dataDir()));
    std::printf("Platform check:\n%s", qPrintable(report.format()));
    std::fflush(stdout);
}

// Opens the window when there is something to do first: sign in, finish
// onboarding, or fix what keeps dictation from typing into other windows.
void firstRunCheck(ServiceContainer &services)
{
    UserDefaults &defaults = services.defaults();
    ui::Navigator &navigator = ui::Navigator::instance();
    const PermissionsService *permissions = services.permissions();
    if (!services.auth().isSignedIn()) {
        logs::info(logs::firstRun(), QStringLiteral("First run: signed out — opening main window to Sign In gate"));
        navigator.openMainWindow();
    } else if (!ui::onboardingSettings::isCompleted(defaults)) {
        logs::info(logs::firstRun(), QStringLiteral("First run: signed in, not onboarded — opening onboarding gate"));
        navigator.openRoute(ui::Route::onboarding);
    } else if (ui::onboardingSettings::isSkipped(defaults)) {
        logs::info(logs::firstRun(), QStringLiteral("First run: onboarding skipped — showing Home reminder"));
        navigator.openRoute(ui::Route::home);
    } else if (permissions && permissions->accessibility() != PermissionStatus::granted) {
        logs::info(logs::firstRun(),
                   QStringLiteral("First run: onboarded but permissions missing — opening Settings onboarding"));
        navigator.openRoute(ui::Route::onboarding);
    }
}

QCoro::Task<> startUp(ServiceContainer &services, std::optional<ui::Route> route)
{
    co_await services.start();
    // The first answer about keystrokes decides whether onboarding opens.
    if (PermissionsService *permissions = services.permissions())
        co_await permissions->refreshNow();
    if (route)
        ui::Navigator::instance().openRoute(*route);
    else
        firstRunCheck(services);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication::setApplicationName(QStringLiteral("dravelin"));
    QApplication::setApplicationVersion(QStringLiteral(DRAVELIN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("dravelin"));

    if (const ControlSwitch *control = controlSwitchIn(argc, argv)) {
        const QCoreApplication app(argc, argv);
        return sendControl(*control);
    }

    // The window and the tray need an X or Wayland display; say so plainly
    // instead of letting Qt abort.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariable("QT_QPA_PLATFORM") != u"offscreen") {
        const UserDefaults defaults(UserDefaults::standardFilePath());
        printReport(checkPlatform(), defaults);
        const bool checkOnly =
            std::any_of(argv + 1, argv + argc, [](const char *arg) { return std::strcmp(arg, "--check") == 0; });
        if (!checkOnly)
            std::fprintf(stderr,
                         "\nDravelin needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set). On a "
                         "machine without one, "
                         "`dravelin-cli dictate --file FILE` runs a whole dictation.\n");
        return checkOnly ? 1 : 2;
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("dravelin"), ui::trayIcon(PipelineState::idle)));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Dravelin — dictation into any application\n\n"
                       "--toggle, --start, --stop, --cancel, --private-paste and --rewrite-selection ask the "
                       "running Dravelin to act and exit (status 3 when none runs): bind `dravelin --toggle` to a "
                       "custom shortcut where Dravelin's own shortcuts do not work."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Also print log lines on standard error."));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Print what this machine offers Dravelin and exit (non-zero when "
                                                  "the desktop display or the sound server is missing)."));
    QStringList routes;
    for (ui::Route each : ui::kAllRoutes)
        routes << ui::route::rawValue(each);
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Open the window on one screen: %1.").arg(routes.join(u", ")),
                                  QStringLiteral("screen"));
    parser.addOption(verbose);
    parser.addOption(check);
    parser.addOption(open);
    for (const ControlSwitch &each : kControlSwitches)
        parser.addOption(QCommandLineOption(QString::fromLatin1(each.name), QString::fromLatin1(each.help)));
    parser.process(app);
    std::optional<ui::Route> openRoute;
    if (parser.isSet(open)) {
        openRoute = ui::route::fromRawValue(parser.value(open));
        if (!openRoute) {
            std::fprintf(stderr, "No screen called \"%s\". Screens: %s\n", qPrintable(parser.value(open)),
                         qPrintable(routes.join(u", ")));
            return 2;
        }
    }

    if (parser.isSet(check)) {
        const UserDefaults defaults(UserDefaults::standardFilePath());
        const PlatformReport report = checkPlatform();
        printReport(report, defaults);
        const bool desktop =
            report.isAvailable(QStringLiteral("X display")) || report.isAvailable(QStringLiteral("Wayland display"));
        return desktop && report.isAvailable(QStringLiteral("Sound server")) ? 0 : 1;
    }

    // A backend file that cannot be used stops here rather than sending the
    // sign-in to a server nobody chose.
    if (const auto constants = AppConstants::load(); constants.problem) {
        std::fprintf(stderr, "%s\nFix or remove that file, then start Dravelin again.\n",
                     qPrintable(*constants.problem));
        return 2;
    }

    if (askRunningInstanceToOpen(openRoute ? ui::route::rawValue(*openRoute) : QString())) {
        std::printf("Dravelin is already running; its window was opened.\n");
        return 0;
    }

    logs::Router::install();
    logs::Router::addSink(std::make_shared<logs::RotatingFileSink>(paths::stateDir()));
    if (logs::JournalSink::isAvailable())
        logs::Router::addSink(std::make_shared<logs::JournalSink>());
    if (parser.isSet(verbose))
        logs::Router::addSink(std::make_shared<logs::StderrSink>());
    // A window that vanishes under an X request must never end the process.
    nix::XErrorTrap::installHandler();

    QLocalServer instance;
    QLocalServer::removeServer(instanceName());
    if (!instance.listen(instanceName()))
        logs::error(logs::app(), QStringLiteral("Single-instance socket unavailable: %1").arg(instance.errorString()));

    QtScheduler scheduler;
    ServiceContainer services(ServiceContainer::Options{}, scheduler);
    // `dravelin --toggle` and the other control switches, from a terminal or
    // a desktop's custom shortcut.
    nix::DBusAppControl control(services.pipeline().controlActions(), QDBusConnection::sessionBus());
    control.publish();
    // Home says so too; this is for whoever started Dravelin from a terminal.
    if (const auto &aside = services.defaults().setAside())
        std::fprintf(stderr,
                     "Your settings file %s could not be read (%s). It was set aside as %s, and Dravelin starts "
                     "from the default settings.\n",
                     qPrintable(services.defaults().filePath()), qPrintable(aside->reason), qPrintable(aside->path));
    ui::MainWindow window(services);
    ui::TrayMenu tray(services);
    ui::Navigator &navigator = ui::Navigator::instance();
    ui::IndicatorPanel indicator(*services.indicator(), [&navigator] { navigator.openSignIn(); });
    if (FloatingSurface *surface = services.indicatorSurface())
        indicator.useFloatingSurface(*surface);
    services.indicator()->onTransformsTapped = [&navigator] { navigator.openRoute(ui::Route::transforms); };
    ui::BluetoothMicrophoneNotificationController bluetoothPrompt(*services.bluetoothMicrophones(),
                                                                  *services.indicator());
    QObject::connect(&tray, &ui::TrayMenu::quitRequested, &app, &QApplication::quit);
    // Another launch hands over: "open" or "open <screen>".
    QObject::connect(&instance, &QLocalServer::newConnection, &window, [&instance, &navigator] {
        while (QLocalSocket *peer = instance.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer, &navigator] {
                if (!peer->canReadLine())
                    return;
                const QString line = QString::fromUtf8(peer->readLine(64)).trimmed();
                const auto route = ui::route::fromRawValue(line.section(u' ', 1));
                logs::info(logs::app(), QStringLiteral("Another launch asked to open the main window"));
                if (route)
                    navigator.openRoute(*route);
                else
                    navigator.openMainWindow();
                peer->disconnectFromServer();
            });
        }
    });
    PermissionsService *permissions = services.permissions();
    HotkeyService *hotkeys = services.hotkeyService();
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &app,
                     [hotkeys, permissions](Qt::ApplicationState state) {
                         const bool active = state == Qt::ApplicationActive;
                         if (hotkeys)
                             hotkeys->setApplicationActive(active);
                         if (permissions && active)
                             permissions->applicationBecameActive();
                     });
    if (!tray.isVisible()) {
        logs::error(logs::app(), QStringLiteral("No system tray on this desktop: Dravelin runs with its window "
                                                "open (closing it keeps Dravelin running)"));
        window.present();
    }
    logs::info(logs::app(), QStringLiteral("Dravelin %1 started").arg(QStringLiteral(DRAVELIN_VERSION)));
    auto started = startUp(services, openRoute);
    return QApplication::exec();
}
