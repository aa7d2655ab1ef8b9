// dravelin-cli: command-line tools around Dravelin's audio path.
//
//   dravelin-cli devices                         list the inputs
//   dravelin-cli record [--seconds N] [--device ID] [--out FILE.m4a|FILE.wav]
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
//
// Exit statuses are shared by every command (ExitCodes.h).

#include "AccountCommands.h"
#include "ExitCodes.h"
#include "account/AppConstants.h"
#include "audio/AACFileWriter.h"
#include "audio/AudioRecorder.h"
#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "audio/Pcm.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/Log.h"
#include "core/LogHandler.h"
#include "core/Paths.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "pipeline/ServiceContainer.h"
#include "platform/SpeechRecognizer.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/X11Display.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
        return cli::exitFailed;
    }
    const auto fallback = backend.defaultDevice();
    for (const auto &device : backend.inputDevices()) {
        std::printf("%s %-50s %s%s%s\n", fallback && fallback->uniqueID == device.uniqueID ? "*" : " ",
                    qPrintable(device.uniqueID), qPrintable(device.name), device.isMonitor ? " (monitor)" : "",
                    device.isBluetooth ? " (Bluetooth)" : "");
    }
    return cli::exitOk;
}

// The formats `record --out` writes, by file extension.
enum class RecordingFormat {
    m4a,
    wav
};

// The format for `out`, or nothing after saying why it cannot be written:
// an extension other than .m4a or .wav, or a folder that is not there.
std::optional<RecordingFormat> recordingTarget(const QString &out)
{
    const QFileInfo target(out);
    const QString extension = target.suffix().toLower();
    if (extension != u"m4a" && extension != u"wav") {
        std::fprintf(stderr, "Cannot record to %s: --out takes a .m4a (AAC) or .wav (16-bit PCM) file name.\n",
                     qPrintable(out));
        return std::nullopt;
    }
    const QFileInfo folder(target.absolutePath());
    if (!folder.isDir()) {
        std::fprintf(stderr, "Cannot record to %s: there is no folder %s. Create it first, or choose another --out.\n",
                     qPrintable(out), qPrintable(QDir::toNativeSeparators(folder.filePath())));
        return std::nullopt;
    }
    if (!folder.isWritable() || (target.exists() && (!target.isFile() || !target.isWritable()))) {
        std::fprintf(stderr, "Cannot record to %s: it cannot be written here. Choose another --out.\n",
                     qPrintable(out));
        return std::nullopt;
    }
    return extension == u"wav" ? RecordingFormat::wav : RecordingFormat::m4a;
}

// Whether the input `--device` named is there; says so (with the inputs
// there are) when it is not, or when no sound server answers.
int checkDevice(nix::PulseAudioBackend &backend, const std::optional<QString> &device)
{
    if (!device)
        return cli::exitOk;
    if (backend.authorization() != MicAuthorization::authorized) {
        std::fprintf(stderr, "No sound server answered (is PulseAudio or pipewire-pulse running?)\n");
        return cli::exitFailed;
    }
    const auto inputs = backend.inputDevices();
    if (std::any_of(inputs.begin(), inputs.end(), [&](const auto &input) { return input.uniqueID == *device; }))
        return cli::exitOk;
    std::fprintf(stderr, "There is no input \"%s\". These are (`dravelin-cli devices`):\n", qPrintable(*device));
    for (const auto &input : inputs)
        std::fprintf(stderr, "  %s  %s\n", qPrintable(input.uniqueID), qPrintable(input.name));
    if (inputs.empty())
        std::fprintf(stderr, "  (none)\n");
    return cli::exitUsage;
}

int record(nix::PulseAudioBackend &backend, Scheduler &scheduler, UserDefaults &defaults, qint64 seconds,
           const QString &out, RecordingFormat format)
{
    AudioRecorder recorder(backend, scheduler, defaults);
    QObject::connect(&recorder, &AudioRecorder::levelChanged, &printLevel);
    const auto started = QCoro::waitFor(recorder.start());
    if (!started) {
        std::fprintf(stderr, "Could not record: %s\n", qPrintable(started.error().description()));
        return cli::exitFailed;
    }
    QCoro::waitFor(waitMs(scheduler, seconds * 1000));
    auto audio = QCoro::waitFor(recorder.stop());
    std::printf("\n");
    if (!audio) {
        std::fprintf(stderr, "No audio was recorded\n");
        return cli::exitFailed;
    }
    if (format == RecordingFormat::wav) {
        // The recorder writes AAC; a .wav gets its samples as 16-bit PCM. A
        // recording with no audio at all (the input sent nothing) is an empty WAV.
        const auto samples = decodeAudio(*audio);
        if (!samples)
            std::fprintf(stderr, "The input sent no sound (%s).\n", qPrintable(samples.error()));
        const std::vector<float> none;
        const std::vector<float> &pcm = samples ? *samples : none;
        audio = WAVWrapper::wrap(pcm16(pcm.data(), pcm.size()), PcmBuffer::kSampleRate);
    }
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly) || file.write(*audio) != audio->size()) {
        std::fprintf(stderr, "Could not write %s: %s\n", qPrintable(out), qPrintable(file.errorString()));
        return cli::exitFailed;
    }
    std::printf("Wrote %s: %lld bytes, %lld ms\n", qPrintable(out), static_cast<long long>(audio->size()),
                static_cast<long long>(recorder.lastDurationMs().value_or(0)));
    return cli::exitOk;
}

int listen(nix::PulseAudioBackend &backend, Scheduler &scheduler, UserDefaults &defaults, qint64 seconds)
{
    // The same engine the app uses on this machine.
    const auto recognizer = ServiceContainer::onDeviceRecognizer(&defaults);
    if (!recognizer->isAvailable()) {
        std::fprintf(stderr, "No speech model is installed (`make` builds Whisper's; or install the package "
                             "pocketsphinx-en-us)\n");
        return cli::exitFailed;
    }
    std::printf("Listening with %s …\n", qPrintable(recognizer->engineName()));
    defaults.set(QString::fromLatin1(StreamingDictationRecorder::kPreferCloudKey), false);
    StreamingDictationRecorder recorder(backend, recognizer.get(), scheduler, defaults);
    QObject::connect(&recorder, &StreamingDictationRecorder::levelChanged, &printLevel);
    const auto started = QCoro::waitFor(recorder.start(std::nullopt, QUuid::createUuid()));
    if (!started) {
        std::fprintf(stderr, "Could not record: %s\n", qPrintable(started.error().description()));
        return cli::exitFailed;
    }
    QCoro::waitFor(waitMs(scheduler, seconds * 1000));
    const auto capture = QCoro::waitFor(recorder.stopCapture());
    std::printf("\n%s\n", capture && capture->onDeviceText ? qPrintable(*capture->onDeviceText) : "(nothing heard)");
    return cli::exitOk;
}

int info(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Could not read %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return cli::exitUsage;
    }
    const auto samples = decodeAudio(file.readAll());
    if (!samples) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(samples.error()));
        return cli::exitFailed;
    }
    std::printf("%s: %lld ms at 16000 Hz mono, level %.2f\n", qPrintable(path),
                static_cast<long long>(samples->size() * 1000 / 16000),
                static_cast<double>(MicLevelScale::normalized(samples->data(), samples->size())));
    return cli::exitOk;
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
                       "  record           record to a .m4a or .wav file (--out), printing levels\n"
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
                       "  ask QUESTION     ask the assistant\n\n") +
        QString::fromLatin1(cli::kExitStatusHelp) + QStringLiteral("\nLog: %1").arg(cli::logFilePath()));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."));
    QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("How long to record (default 5)."),
                               QStringLiteral("N"), QStringLiteral("5"));
    QCommandLineOption device(QStringLiteral("device"), QStringLiteral("Input to use (an ID from `devices`)."),
                              QStringLiteral("ID"));
    QCommandLineOption out(QStringLiteral("out"),
                           QStringLiteral("record: the file to write, .m4a (AAC) or .wav (16-bit PCM) "
                                          "(default recording.m4a)."),
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
    // Parsed by hand rather than process(), which ends the program with
    // status 1 on an unknown option; a usage error is status 2 here.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n`dravelin-cli --help` lists the commands and options.\n",
                     qPrintable(parser.errorText()));
        return cli::exitUsage;
    }
    parser.process(*app); // --help, --help-all and --version, now that the command line is known to parse

    // Every run leaves its lines in its own rotating file beside the app's.
    logs::Router::install();
    logs::Router::addSink(std::make_shared<logs::RotatingFileSink>(paths::stateDir(), 1 << 20, 3,
                                                                   QFileInfo(cli::logFilePath()).fileName()));
    if (parser.isSet(verbose))
        logs::Router::addSink(std::make_shared<logs::StderrSink>());
    // The command only: its arguments may be the user's words.
    logs::info(logs::app(), QStringLiteral("dravelin-cli %1: %2")
                                .arg(QStringLiteral(DRAVELIN_VERSION), parser.positionalArguments().value(0)));

    // A settings file that could not be read is set aside on the first read;
    // say so here, once, whichever command found it.
    {
        const UserDefaults settings(UserDefaults::standardFilePath());
        if (const auto &aside = settings.setAside()) {
            std::fprintf(stderr,
                         "Your settings file %s could not be read (%s). It was set aside as %s, and Dravelin "
                         "starts from the default settings; fix that copy and move it back to keep yours.\n",
                         qPrintable(settings.filePath()), qPrintable(aside->reason), qPrintable(aside->path));
        }
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        std::fprintf(stderr, "No command given. `dravelin-cli --help` lists them.\n");
        return cli::exitUsage;
    }
    // Commands that talk to the backend stop on a backend file that cannot be
    // used, rather than sending a session to a server nobody chose.
    static const QStringList backendCommands{
        QStringLiteral("sign-in"), QStringLiteral("whoami"),  QStringLiteral("sign-out"), QStringLiteral("transcribe"),
        QStringLiteral("dictate"), QStringLiteral("pending"), QStringLiteral("retry"),    QStringLiteral("usage"),
        QStringLiteral("vocab"),   QStringLiteral("admin"),   QStringLiteral("token"),    QStringLiteral("rewrite"),
        QStringLiteral("ask")};
    if (backendCommands.contains(args.first())) {
        if (const auto constants = AppConstants::load(); constants.problem) {
            std::fprintf(stderr, "%s\nFix or remove that file, then try again.\n", qPrintable(*constants.problem));
            return cli::exitUsage;
        }
    }
    const QString &command = args.first();
    const auto wrongArguments = [&command](const char *usage) {
        std::fprintf(stderr, "%s takes %s. `dravelin-cli --help` lists the commands.\n", qPrintable(command), usage);
        return cli::exitUsage;
    };
    if (command == u"info")
        return args.size() == 2 ? info(args.at(1)) : wrongArguments("one audio FILE");
    if (command == u"sign-in" && args.size() == 1) {
        return cli::signIn(parser.isSet(consentAs) ? std::optional<QString>(parser.value(consentAs)) : std::nullopt);
    }
    if (command == u"whoami" && args.size() == 1)
        return cli::whoAmI();
    if (command == u"sign-out" && args.size() == 1)
        return cli::signOut();
    if (command == u"token" && args.size() == 1)
        return cli::printAccessToken();
    if (command == u"dictate" && args.size() == 1) {
        return cli::dictate(parser.isSet(inputFile) ? std::optional<QString>(parser.value(inputFile)) : std::nullopt,
                            parser.isSet(consentAs) ? std::optional<QString>(parser.value(consentAs)) : std::nullopt);
    }
    if (command == u"pending" && args.size() == 1)
        return cli::listPending();
    if (command == u"retry" && args.size() == 1)
        return cli::retryPending();
    if (command == u"vocab")
        return cli::vocabulary(args, parser.isSet(replacementOption)
                                         ? std::optional<QString>(parser.value(replacementOption))
                                         : std::nullopt);
    if (command == u"usage" && args.size() == 1)
        return cli::usage();
    if (command == u"admin")
        return cli::admin(args);
    if (command == u"rewrite")
        return args.size() >= 2 ? cli::rewrite(args.mid(1).join(u' '), parser.value(styleOption))
                                : wrongArguments("the TEXT to rewrite");
    if (command == u"ask")
        return args.size() >= 2 ? cli::ask(args.mid(1).join(u' ')) : wrongArguments("a QUESTION");
    if (command == u"transcribe")
        return args.size() == 2 ? cli::transcribeFile(args.at(1), parser.isSet(stream), parser.isSet(cleanup))
                                : wrongArguments("one audio FILE");
    static const QStringList audioCommands{QStringLiteral("devices"), QStringLiteral("record"),
                                           QStringLiteral("listen")};
    if (!audioCommands.contains(command) && !backendCommands.contains(command)) {
        std::fprintf(stderr, "There is no command \"%s\". `dravelin-cli --help` lists them.\n", qPrintable(command));
        return cli::exitUsage;
    }
    if (args.size() != 1)
        return wrongArguments("no arguments besides its options");

    bool ok = false;
    const qint64 n = parser.value(seconds).toLongLong(&ok);
    if (!ok || n <= 0 || n > 180) {
        std::fprintf(stderr, "--seconds takes a whole number from 1 to 180\n");
        return cli::exitUsage;
    }
    std::optional<RecordingFormat> format;
    if (command == u"record" && !(format = recordingTarget(parser.value(out))))
        return cli::exitUsage;

    // The CLI's own settings, so choosing a device here leaves the app's
    // alone; what decides how speech is heard comes from the user's settings,
    // as in the app.
    QTemporaryDir scratch;
    UserDefaults defaults(scratch.filePath(QStringLiteral("settings.json")));
    {
        const UserDefaults user(UserDefaults::standardFilePath());
        for (const char *key : {MicCaptureSession::kDeviceKey, StreamingDictationRecorder::kModelKey,
                                StreamingDictationRecorder::kLanguageKey}) {
            if (const auto value = user.value(QString::fromLatin1(key)))
                defaults.set(QString::fromLatin1(key), *value);
        }
    }
    if (parser.isSet(device))
        defaults.set(QString::fromLatin1(MicCaptureSession::kDeviceKey), parser.value(device));
    QtScheduler scheduler;
    nix::PulseAudioBackend backend;
    if (command == u"devices")
        return devices(backend);
    const auto chosen = parser.isSet(device) ? std::optional<QString>(parser.value(device)) : std::nullopt;
    if (const int status = checkDevice(backend, chosen); status != cli::exitOk)
        return status;
    if (command == u"record")
        return record(backend, scheduler, defaults, n, parser.value(out), *format);
    return listen(backend, scheduler, defaults, n);
}
