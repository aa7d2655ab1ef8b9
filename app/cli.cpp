// dravelin-cli: command-line tools around Dravelin's audio path.
//
//   dravelin-cli devices                         list the inputs
//   dravelin-cli record [--seconds N] [--device ID] [--out FILE.m4a]
//                                                record, printing levels
//   dravelin-cli listen [--seconds N] [--device ID]
//                                                recognise speech on this machine
//   dravelin-cli info FILE                       decode an audio file, print its length
//   dravelin-cli sign-in [--consent-as EMAIL]    sign in through the browser
//   dravelin-cli whoami                          show the signed-in user
//   dravelin-cli sign-out
//   dravelin-cli token                           print a valid access token
//   dravelin-cli transcribe FILE [--stream] [--cleanup]
//                                                send an audio file to the backend
//   dravelin-cli usage                           the usage figures the backend counted
//   dravelin-cli vocab [list|add TERM|remove TERM]  the personal vocabulary
//   dravelin-cli admin [enable|disable|delete EMAIL] the administrators' dashboard
//   dravelin-cli rewrite TEXT [--style STYLE]   rewrite TEXT
//   dravelin-cli ask QUESTION                    ask the assistant

#include "AccountCommands.h"
#include "account/AppConstants.h"
#include "audio/AACFileWriter.h"
#include "audio/AudioRecorder.h"
#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "pipeline/ServiceContainer.h"
#include "platform/SpeechRecognizer.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/X11Display.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <cstdio>

using namespace dravelin;

namespace {

void printLevel(float level)
{
    const int width = static_cast<int>(level * 40.0f);
    std::printf("\rlevel %4.2f |%-40s|", static_cast<double>(level), QByteArray(width, '#').constData());
    std::fflush(stdout);
}

// Waits for real time while the event loop runs.
QCoro::Task<> waitMs(Scheduler &scheduler, qint64 ms)
{
    co_await scheduler.sleep(Millis(ms));
}

int devices(nix::PulseAudioBackend &backend)
{
    if (backend.authorization() != MicAuthorization::authorized) {
        std::fprintf(stderr, "No sound server answered (is PulseAudio or pipewire-pulse running?)\n");
        return 1;
    }
    const auto fallback = backend.defaultDevice();
    for (const auto &device : backend.inputDevices()) {
        std::printf("%s %-50s %s%s%s\n", fallback && fallback->uniqueID == device.uniqueID ? "*" : " ",
                    qPrintable(device.uniqueID), qPrintable(device.name), device.isMonitor ? " (monitor)" : "",
                    device.isBluetooth ? " (Bluetooth)" : "");
    }
    return 0;
}

int record(nix::PulseAudioBackend &backend, Scheduler &scheduler, UserDefaults &defaults, qint64 seconds,
           const QString &out)
{
    AudioRecorder recorder(backend, scheduler, defaults);
    QObject::connect(&recorder, &AudioRecorder::levelChanged, &printLevel);
    const auto started = QCoro::waitFor(recorder.start());
    if (!started) {
        std::fprintf(stderr, "Could not record: %s\n", qPrintable(started.error().description()));
        return 1;
    }
    QCoro::waitFor(waitMs(scheduler, seconds * 1000));
    const auto audio = QCoro::waitFor(recorder.stop());
    std::printf("\n");
    if (!audio) {
        std::fprintf(stderr, "No audio was recorded\n");
        return 1;
    }
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly) || file.write(*audio) != audio->size()) {
        std::fprintf(stderr, "Could not write %s: %s\n", qPrintable(out), qPrintable(file.errorString()));
        return 1;
    }
    std::printf("Wrote %s: %lld bytes, %lld ms\n", qPrintable(out), static_cast<long long>(audio->size()),
                static_cast<long long>(recorder.lastDurationMs().value_or(0)));
    return 0;
}

int listen(nix::PulseAudioBackend &backend, Scheduler &scheduler, UserDefaults &defaults, qint64 seconds)
{
    // The same engine the app uses on this machine.
    const auto recognizer = ServiceContainer::onDeviceRecognizer(&defaults);
    if (!recognizer->isAvailable()) {
        std::fprintf(stderr, "No speech model is installed (`make` builds Whisper's; or install the package "
                             "pocketsphinx-en-us)\n");
        return 1;
    }
    std::printf("Listening with %s …\n", qPrintable(recognizer->engineName()));
    defaults.set(QString::fromLatin1(StreamingDictationRecorder::kPreferCloudKey), false);
    StreamingDictationRecorder recorder(backend, recognizer.get(), scheduler, defaults);
    QObject::connect(&recorder, &StreamingDictationRecorder::levelChanged, &printLevel);
    const auto started = QCoro::waitFor(recorder.start(std::nullopt, QUuid::createUuid()));
    if (!started) {
        std::fprintf(stderr, "Could not record: %s\n", qPrintable(started.error().description()));
        return 1;
    }
    QCoro::waitFor(waitMs(scheduler, seconds * 1000));
    const auto capture = QCoro::waitFor(recorder.stopCapture());
    std::printf("\n%s\n", capture && capture->onDeviceText ? qPrintable(*capture->onDeviceText) : "(nothing heard)");
    return 0;
}

int info(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Could not read %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return 1;
    }
    const auto samples = decodeAudio(file.readAll());
    if (!samples) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(samples.error()));
        return 1;
    }
    std::printf("%s: %lld ms at 16000 Hz mono, level %.2f\n", qPrintable(path),
                static_cast<long long>(samples->size() * 1000 / 16000),
                static_cast<double>(MicLevelScale::normalized(samples->data(), samples->size())));
    return 0;
}

// Pasting needs the clipboard, which only a GUI application object has; on a
// machine whose X display answers, the command line makes one (without
// showing any window), elsewhere a plain core application.
std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") && static_cast<bool>(nix::X11Display());
    if (display && qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb")) == u"xcb")
        return std::make_unique<QGuiApplication>(argc, argv);
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace

int main(int argc, char *argv[])
{
    const auto app = makeApplication(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // keep progress lines in order with errors
    QCoreApplication::setApplicationName(QStringLiteral("dravelin-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVELIN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Dravelin from the command line.\n\n"
                       "Commands:\n"
                       "  devices          list the audio inputs (* marks the default)\n"
                       "  record           record to an .m4a file, printing levels\n"
                       "  listen           recognise speech on this machine\n"
                       "  info FILE        decode an audio file and print its length\n"
                       "  sign-in          sign in through your browser (the session is kept in the keyring)\n"
                       "  whoami           show the signed-in user\n"
                       "  sign-out         sign out and forget the session\n"
                       "  token            print a valid access token (for curl and scripts)\n"
                       "  transcribe FILE  send an audio file to the backend and print the text\n"
                       "  dictate          one dictation through the whole pipeline (--file plays a file as the "
                       "microphone)\n"
                       "  pending          list the recordings waiting to be sent again\n"
                       "  retry            send them again and paste what comes back\n"
                       "  vocab            your vocabulary: list, add TERM [--replacement TEXT], remove TERM\n"
                       "  usage            dictations, words and speaking time: this month, all time, per day, "
                       "hour and application\n"
                       "  admin            administrators: the dashboard; enable, disable or delete EMAIL\n"
                       "  rewrite TEXT     rewrite TEXT (--style natural|concise|formal|casual, a transform's name, "
                       "or an instruction)\n"
                       "  ask QUESTION     ask the assistant"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("devices, record, listen or info"));
    QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("How long to record (default 5)."),
                               QStringLiteral("N"), QStringLiteral("5"));
    QCommandLineOption device(QStringLiteral("device"), QStringLiteral("Input to use (an ID from `devices`)."),
                              QStringLiteral("ID"));
    QCommandLineOption out(QStringLiteral("out"), QStringLiteral("File to write (default recording.m4a)."),
                           QStringLiteral("FILE"), QStringLiteral("recording.m4a"));
    QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Print log lines on standard error."));
    QCommandLineOption consentAs(QStringLiteral("consent-as"),
                                 QStringLiteral("sign-in: answer the local server's consent page as EMAIL instead of "
                                                "opening a browser (unattended runs against dravelin-server)."),
                                 QStringLiteral("EMAIL"));
    QCommandLineOption stream(QStringLiteral("stream"), QStringLiteral("transcribe: receive the reply as a stream."));
    QCommandLineOption cleanup(QStringLiteral("cleanup"), QStringLiteral("transcribe: ask for cleaned-up text."));
    QCommandLineOption inputFile(QStringLiteral("file"),
                                 QStringLiteral("dictate: play this audio file as the microphone."),
                                 QStringLiteral("FILE"));
    QCommandLineOption replacementOption(QStringLiteral("replacement"),
                                         QStringLiteral("vocab add: what the term is written as."),
                                         QStringLiteral("TEXT"));
    QCommandLineOption styleOption(QStringLiteral("style"),
                                   QStringLiteral("rewrite: a style, a transform's name or an instruction."),
                                   QStringLiteral("STYLE"), QStringLiteral("natural"));
    parser.addOptions(
        {seconds, device, out, verbose, consentAs, stream, cleanup, inputFile, replacementOption, styleOption});
    parser.process(*app);

    logs::Router::install();
    if (parser.isSet(verbose))
        logs::Router::addSink(std::make_shared<logs::StderrSink>());

    const QStringList args = parser.positionalArguments();
    // Commands that talk to the backend stop on a backend file that cannot be
    // used, rather than sending a session to a server nobody chose.
    static const QStringList backendCommands{
        QStringLiteral("sign-in"), QStringLiteral("whoami"),  QStringLiteral("sign-out"), QStringLiteral("transcribe"),
        QStringLiteral("dictate"), QStringLiteral("pending"), QStringLiteral("retry"),    QStringLiteral("usage"),
        QStringLiteral("vocab"),   QStringLiteral("admin"),   QStringLiteral("token"),    QStringLiteral("rewrite"),
        QStringLiteral("ask")};
    if (!args.isEmpty() && backendCommands.contains(args.first())) {
        if (const auto constants = AppConstants::load(); constants.problem) {
            std::fprintf(stderr, "%s\nFix or remove that file, then try again.\n", qPrintable(*constants.problem));
            return 2;
        }
    }
    if (args.size() == 2 && args.first() == u"info")
        return info(args.at(1));
    if (args.size() == 1 && args.first() == u"sign-in") {
        return cli::signIn(parser.isSet(consentAs) ? std::optional<QString>(parser.value(consentAs)) : std::nullopt);
    }
    if (args.size() == 1 && args.first() == u"whoami")
        return cli::whoAmI();
    if (args.size() == 1 && args.first() == u"sign-out")
        return cli::signOut();
    if (args.size() == 1 && args.first() == u"token")
        return cli::printAccessToken();
    if (args.size() == 1 && args.first() == u"dictate") {
        return cli::dictate(parser.isSet(inputFile) ? std::optional<QString>(parser.value(inputFile)) : std::nullopt,
                            parser.isSet(consentAs) ? std::optional<QString>(parser.value(consentAs)) : std::nullopt);
    }
    if (args.size() == 1 && args.first() == u"pending")
        return cli::listPending();
    if (args.size() == 1 && args.first() == u"retry")
        return cli::retryPending();
    if (!args.isEmpty() && args.first() == u"vocab")
        return cli::vocabulary(args, parser.isSet(replacementOption)
                                         ? std::optional<QString>(parser.value(replacementOption))
                                         : std::nullopt);
    if (args.size() == 1 && args.first() == u"usage")
        return cli::usage();
    if (!args.isEmpty() && args.first() == u"admin")
        return cli::admin(args);
    if (args.size() >= 2 && args.first() == u"rewrite")
        return cli::rewrite(args.mid(1).join(u' '), parser.value(styleOption));
    if (args.size() >= 2 && args.first() == u"ask")
        return cli::ask(args.mid(1).join(u' '));
    if (args.size() == 2 && args.first() == u"transcribe")
        return cli::transcribeFile(args.at(1), parser.isSet(stream), parser.isSet(cleanup));
    if (args.size() != 1)
        parser.showHelp(2);
    // The CLI's own settings, so choosing a device here leaves the app's alone.
    QTemporaryDir scratch;
    UserDefaults defaults(scratch.filePath(QStringLiteral("settings.json")));
    if (parser.isSet(device))
        defaults.set(QString::fromLatin1(MicCaptureSession::kDeviceKey), parser.value(device));
    QtScheduler scheduler;
    nix::PulseAudioBackend backend;
    bool ok = false;
    const qint64 n = parser.value(seconds).toLongLong(&ok);
    if (!ok || n <= 0 || n > 180) {
        std::fprintf(stderr, "--seconds takes a whole number from 1 to 180\n");
        return 2;
    }

    const QString command = args.first();
    if (command == u"devices")
        return devices(backend);
    if (command == u"record")
        return record(backend, scheduler, defaults, n, parser.value(out));
    if (command == u"listen")
        return listen(backend, scheduler, defaults, n);
    std::fprintf(stderr, "Unknown command '%s'\n", qPrintable(command));
    return 2;
}
