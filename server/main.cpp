// dravelin-server: Dravelin's embedded default backend.

#include "DravelinServer.h"
#include "admin/AdminCommand.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "storage/Storage.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/socket.h>
#include <unistd.h>

using namespace dravelin;
using namespace dravelin::server;

namespace {

int g_signalPair[2] = {-1, -1};

constexpr Millis kShutdownGrace{5000};

void onQuitSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPair[1], &byte, 1);
    errno = saved;
}

// SIGTERM and SIGINT call `stop` (a second one quits at once). A signal
// handler may only call async-signal-safe functions (QCoreApplication::quit
// is not), so it writes a byte to a socket pair; a notifier on the other end
// acts from the loop.
bool quitOnSignals(QObject *parent, std::function<void()> stop)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalPair) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_signalPair[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [stop = std::move(stop)]() mutable {
        char drained[16];
        while (::read(g_signalPair[0], drained, sizeof drained) > 0) {
        }
        if (auto first = std::exchange(stop, nullptr))
            first();
        else
            QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dravelin-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVELIN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Dravelin's embedded backend: sign-in, transcription and cleanup for the Dravelin app, on this machine.\n\n"
        "Endpoints (under http://ADDRESS:PORT):\n"
        "  GET  /auth/v1/oauth/authorize     browser sign-in (local consent page; PKCE S256)\n"
        "  POST /auth/v1/oauth/token         code exchange and refresh (form-encoded)\n"
        "  POST /auth/v1/token?grant_type=refresh_token   refresh (JSON, needs apikey)\n"
        "  GET|PUT /auth/v1/user, POST /auth/v1/logout\n"
        "  POST /functions/v1/transcribe     multipart audio upload; NDJSON stream when stream=1\n"
        "  POST /functions/v1/cleanup        JSON text clean-up\n"
        "  GET  /functions/v1/usage?tz=ZONE&days=N   the caller's usage figures\n"
        "  POST /functions/v1/report-transcription-quality   a quality label on the caller's dictation\n"
        "  POST /functions/v1/admin-dashboard   administrators only (see `admin grant`)\n"
        "  POST /functions/v1/rewrite        {text, style, prompt?}: the text rewritten by the language model\n"
        "  POST /functions/v1/ask            {query, timezone?, locale?}: an answer, or a search to open\n"
        "  PUT  /storage/v1/upload?token=…   a dictation's recording (with --retain-recordings)\n"
        "  POST /rest/v1/rpc/attach_recording_audio   link it to its transcription\n"
        "  GET  /updates/feed.json           the release feed the app checks for updates\n"
        "  GET  /health\n\n"
        "The config file is JSON with any of: address, port, dataDir, database, apiKey, oauthClientId,\n"
        "localUserEmail, engine, model, language (the spoken language when a request names none: a two-letter\n"
        "code or \"auto\"), maxBodyBytes, accessTokenSeconds, retainRecordings, liveIdleMs, liveMaxMs,\n"
        "transcriptionQueue, publicUrl (the address clients reach this server at, for the links it hands out),\n"
        "signingKeyFile (one key file for every instance over a shared database), recordingsDir (where kept\n"
        "recordings go; a directory every instance reaches),\n"
        "and llm:\n"
        "  {\"provider\": \"auto\"|\"local\"|\"openai\"|\"none\", \"model\": GGUF file or model name,\n"
        "   \"baseUrl\": OpenAI-compatible API (openai), \"apiKey\" (or $DRAVELIN_LLM_API_KEY), \"stream\",\n"
        "   \"timeLimitMs\" (20000), \"threads\" (2)}. \"auto\" uses the local model when scripts/setup-llm\n"
        "installed it. And cleanup: {\"mode\": \"rules\"|\"model\", \"timeLimitMs\" (4000)}: \"model\"\n"
        "polishes the rules' text with the language model (about a second per dictation on two cores)\n"
        "and keeps the rules' text when the model is missing, slow or changes the words.\n"
        "And updates: {\"feedFile\": a JSON feed to serve at /updates/feed.json}; without it the feed\n"
        "names this server's own version.\n"
        "Flags override the file.\n\n"
        "The database is SQLite in the data directory unless database (or --database) names PostgreSQL:\n"
        "postgres://USER@HOST:PORT/DB, postgresql://… or libpq's \"host=… dbname=…\" form. Instances that\n"
        "share one PostgreSQL database need the same signing.key in their data directories.\n\n"
        "Administration (on the configured database; safe while the server runs):\n"
        "  dravelin-server admin grant EMAIL    make a user an administrator (created if new)\n"
        "  dravelin-server admin revoke EMAIL   take it back\n"
        "  dravelin-server admin list           the administrators\n"
        "  dravelin-server migrate              bring the database's schema up to date, print its version"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption config(QStringLiteral("config"), QStringLiteral("Read settings from this JSON file."),
                              QStringLiteral("FILE"));
    QCommandLineOption address(QStringLiteral("address"),
                               QStringLiteral("Address to listen on (default 127.0.0.1; only loopback is safe)."),
                               QStringLiteral("ADDR"));
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port to listen on (default 54321; 0 picks one)."),
                            QStringLiteral("PORT"));
    QCommandLineOption dataDir(QStringLiteral("data-dir"),
                               QStringLiteral("SQLite database, signing key and recordings (default "
                                              "$XDG_DATA_HOME/dravelin-server)."),
                               QStringLiteral("DIR"));
    QCommandLineOption database(QStringLiteral("database"),
                                QStringLiteral("PostgreSQL connection string (postgres://USER@HOST:PORT/DB or "
                                               "key=value); default: SQLite in the data directory."),
                                QStringLiteral("URL"));
    QCommandLineOption apiKey(QStringLiteral("api-key"), QStringLiteral("The public API key clients send."),
                              QStringLiteral("KEY"));
    QCommandLineOption engine(QStringLiteral("engine"),
                              QStringLiteral("Speech engine: auto (Whisper when its model is there), whisper or "
                                             "pocketsphinx."),
                              QStringLiteral("NAME"));
    QCommandLineOption whisperModel(
        QStringLiteral("model"),
        QStringLiteral("Whisper model: a name (tiny.en, base; `dravelin-model list` shows them, "
                       "`dravelin-model install NAME` adds one) or a ggml model file."),
        QStringLiteral("NAME"));
    QCommandLineOption llm(QStringLiteral("llm"),
                           QStringLiteral("Language model for rewrite and ask: auto, local, openai or none."),
                           QStringLiteral("PROVIDER"));
    QCommandLineOption llmModel(QStringLiteral("llm-model"),
                                QStringLiteral("The local model's GGUF file, or the OpenAI-compatible model's name."),
                                QStringLiteral("MODEL"));
    QCommandLineOption llmUrl(QStringLiteral("llm-url"),
                              QStringLiteral("The OpenAI-compatible API's base URL (with --llm openai)."),
                              QStringLiteral("URL"));
    QCommandLineOption cleanup(QStringLiteral("cleanup"),
                               QStringLiteral("Transcript clean-up: rules (default) or model (rules, then the language "
                                              "model)."),
                               QStringLiteral("MODE"));
    QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not print log lines."));
    QCommandLineOption printModel(QStringLiteral("print-model"),
                                  QStringLiteral("Print the Whisper model file the settings lead to, then exit."));
    QCommandLineOption retain(QStringLiteral("retain-recordings"),
                              QStringLiteral("Keep the recordings the app uploads after each dictation."));
    parser.addOptions({config, address, port, dataDir, database, apiKey, engine, whisperModel, llm, llmModel, llmUrl,
                       cleanup, quiet, retain, printModel});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("Administration commands and migrate (see above)."),
                                 QStringLiteral("[admin … | migrate]"));
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty() && positional.first() != u"admin" && positional.first() != u"migrate") {
        std::fprintf(stderr, "dravelin-server: unknown command \"%s\" (try --help)\n", qPrintable(positional.first()));
        return 2;
    }
    if (positional.size() > 1 && positional.first() == u"migrate") {
        std::fprintf(stderr, "usage: dravelin-server [--data-dir DIR | --database URL] migrate\n");
        return 2;
    }

    logs::Router::install();
    if (!parser.isSet(quiet))
        logs::Router::addSink(std::make_shared<logs::StderrSink>());

    ServerConfig settings;
    if (parser.isSet(config)) {
        if (auto loaded = settings.loadFile(parser.value(config)); !loaded) {
            std::fprintf(stderr, "dravelin-server: %s\n", qPrintable(loaded.error()));
            return 2;
        }
    }
    if (parser.isSet(address) && !settings.address.setAddress(parser.value(address))) {
        std::fprintf(stderr, "dravelin-server: not an address: %s\n", qPrintable(parser.value(address)));
        return 2;
    }
    if (parser.isSet(port)) {
        bool ok = false;
        const uint value = parser.value(port).toUInt(&ok);
        if (!ok || value > 65535) {
            std::fprintf(stderr, "dravelin-server: not a port: %s\n", qPrintable(parser.value(port)));
            return 2;
        }
        settings.port = static_cast<quint16>(value);
    }
    if (parser.isSet(dataDir))
        settings.dataDir = parser.value(dataDir);
    if (parser.isSet(database)) {
        const auto given = databaseSetting(parser.value(database));
        if (!given) {
            std::fprintf(stderr, "dravelin-server: --database %s\n", qPrintable(given.error()));
            return 2;
        }
        settings.database = *given;
    }
    if (parser.isSet(apiKey))
        settings.apiKey = parser.value(apiKey).toUtf8();
    if (parser.isSet(engine))
        settings.engine = parser.value(engine);
    if (parser.isSet(whisperModel))
        settings.model = parser.value(whisperModel);
    if (parser.isSet(retain))
        settings.retainRecordings = true;
    if (parser.isSet(printModel)) {
#ifdef DRAVELIN_HAVE_WHISPER
        std::printf("%s\n", qPrintable(nix::WhisperRecognizer::modelPath(settings.model)));
        return 0;
#else
        std::fprintf(stderr, "dravelin-server: built without Whisper\n");
        return 1;
#endif
    }
    if (parser.isSet(llm)) {
        settings.llm.provider = parser.value(llm);
        if (!QStringList{QStringLiteral("auto"), QStringLiteral("local"), QStringLiteral("openai"),
                         QStringLiteral("none")}
                 .contains(settings.llm.provider)) {
            std::fprintf(stderr, "dravelin-server: --llm must be auto, local, openai or none\n");
            return 2;
        }
    }
    if (parser.isSet(llmModel))
        settings.llm.model = parser.value(llmModel);
    if (parser.isSet(llmUrl))
        settings.llm.baseUrl = parser.value(llmUrl);
    if (parser.isSet(cleanup)) {
        settings.cleanup.mode = parser.value(cleanup);
        if (settings.cleanup.mode != u"rules" && settings.cleanup.mode != u"model") {
            std::fprintf(stderr, "dravelin-server: --cleanup must be rules or model\n");
            return 2;
        }
    }
    if (!positional.isEmpty() && positional.first() == u"migrate")
        return runMigrateCommand(settings);
    if (!positional.isEmpty())
        return runAdminCommand(settings, positional.mid(1));
    if (!settings.address.isLoopback())
        std::fprintf(stderr, "dravelin-server: warning: listening on %s, which is not a loopback address\n",
                     qPrintable(settings.address.toString()));

    QtScheduler scheduler;
    auto server = DravelinServer::create(settings, scheduler);
    if (!server) {
        std::fprintf(stderr, "dravelin-server: %s\n", qPrintable(server.error()));
        return 1;
    }
    if (auto listening = (*server)->listen(); !listening) {
        std::fprintf(stderr, "dravelin-server: %s\n", qPrintable(listening.error()));
        return 1;
    }
    const QString model = (*server)->modelName();
    std::printf("dravelin-server %s on http://%s:%u (engine %s, language model %s, cleanup %s, data %s, "
                "database %s)\n",
                DRAVELIN_VERSION, qPrintable(settings.address.toString()), (*server)->port(),
                qPrintable((*server)->engineName()), model.isEmpty() ? "none" : qPrintable(model),
                model.isEmpty() ? "rules" : qPrintable(settings.cleanup.mode), qPrintable((*server)->config().dataDir),
                qPrintable((*server)->storage().location()));
    (*server)->warmUpModel();
    std::fflush(stdout);
    // On SIGTERM/SIGINT: no new connections or requests; those under way get
    // a few seconds to finish.
    DravelinServer *running = server->get();
    const auto stop = [running] { running->shutdown(kShutdownGrace, [] { QCoreApplication::quit(); }); };
    if (!quitOnSignals(&app, stop))
        std::fprintf(stderr, "dravelin-server: warning: cannot watch for SIGTERM/SIGINT: %s\n", std::strerror(errno));
    return app.exec();
}
