#include "DravelinServer.h"

#include "admin/AdminRoutes.h"
#include "auth/AuthRoutes.h"
#include "core/Json.h"
#include "core/Log.h"
#include "engines/RecognizerEngine.h"
#include "functions/FunctionRoutes.h"
#include "functions/TextFunctions.h"
#include "functions/TranscriptCleaner.h"
#include "llm/LanguageModel.h"
#include "llm/ModelFactory.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif
#include "http/HttpServer.h"
#include "http/Router.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "recordings/RecordingRoutes.h"
#include "storage/OpenStorage.h"
#include "storage/Storage.h"
#include "updates/UpdateFeed.h"

namespace dravelin::server {

DravelinServer::DravelinServer(ServerConfig config, Scheduler &scheduler)
    : m_config(std::move(config))
    , m_scheduler(scheduler)
{}

DravelinServer::~DravelinServer() = default;

Expected<std::unique_ptr<DravelinServer>, QString> DravelinServer::create(ServerConfig config, Scheduler &scheduler,
                                                                          std::unique_ptr<SpeechEngine> engine)
{
    if (config.dataDir.isEmpty())
        config.dataDir = ServerConfig::defaultDataDir();
    if (auto secret = config.loadOrCreateSecret(); !secret)
        return Unexpected{secret.error()};
    auto storage = openStorage(config);
    if (!storage)
        return Unexpected{storage.error()};
    if (!engine) {
        if (config.engine != u"auto" && config.engine != u"pocketsphinx" && config.engine != u"whisper")
            return Unexpected{
                QStringLiteral("unknown speech engine \"%1\" (known: auto, whisper, pocketsphinx)").arg(config.engine)};
#ifdef DRAVELIN_HAVE_WHISPER
        // Whisper whenever its model is there; PocketSphinx otherwise. A
        // model asked for by name must be there.
        if (config.engine != u"pocketsphinx") {
            const QString path = nix::WhisperRecognizer::modelPath(config.model);
            auto whisper = std::make_unique<nix::WhisperRecognizer>(path);
            if (whisper->isAvailable()) {
                engine = std::make_unique<RecognizerEngine>(std::move(whisper), scheduler);
            } else if (config.engine == u"whisper" || !config.model.isEmpty()) {
                const QStringList installed = nix::WhisperRecognizer::installedModels();
                return Unexpected{QStringLiteral("no Whisper model at %1 (installed: %2; `dravelin-model install NAME` "
                                                 "installs more)")
                                      .arg(path, installed.isEmpty() ? QStringLiteral("none") : installed.join(u", "))};
            }
        }
#else
        if (config.engine == u"whisper")
            return Unexpected{QStringLiteral("this build has no whisper.cpp (run scripts/setup-whisper)")};
#endif
        if (!engine)
            engine = std::make_unique<RecognizerEngine>(std::make_unique<nix::PocketSphinxRecognizer>(), scheduler);
    }

    auto model = makeLanguageModel(config.llm, scheduler);
    if (!model)
        return Unexpected{model.error()};

    std::unique_ptr<DravelinServer> server(new DravelinServer(std::move(config), scheduler));
    server->m_model = std::move(model.value());
    server->m_storage = std::move(storage.value());
    server->m_engine = std::move(engine);
    server->m_router = std::make_unique<Router>();
    server->m_auth = std::make_unique<AuthRoutes>(server->m_config, *server->m_storage, scheduler);
    server->m_recordings =
        std::make_unique<RecordingRoutes>(server->m_config, *server->m_storage, *server->m_auth, scheduler);
    const bool modelCleanup = server->m_config.cleanup.mode == u"model";
    if (modelCleanup && !server->m_model)
        logs::info(logs::cleanup(), QStringLiteral("Cleanup mode is model but no language model is configured; "
                                                   "transcripts get the rules"));
    server->m_cleaner = std::make_unique<TranscriptCleaner>(modelCleanup ? server->m_model.get() : nullptr,
                                                            Millis(server->m_config.cleanup.timeLimitMs));
    server->m_functions =
        std::make_unique<FunctionRoutes>(server->m_config, *server->m_storage, *server->m_auth, *server->m_engine,
                                         *server->m_cleaner, *server->m_recordings, scheduler);
    server->m_admin =
        std::make_unique<AdminRoutes>(*server->m_storage, *server->m_auth, *server->m_recordings, scheduler);
    server->m_text = std::make_unique<TextFunctions>(server->m_config, *server->m_storage, *server->m_auth,
                                                     server->m_model.get(), scheduler);
    server->m_text->install(*server->m_router);
    server->m_auth->install(*server->m_router);
    server->m_admin->install(*server->m_router);
    server->m_functions->install(*server->m_router);
    server->m_recordings->install(*server->m_router);
    server->m_updates = std::make_unique<UpdateFeed>(server->m_config.updates, QStringLiteral(DRAVELIN_VERSION));
    server->m_updates->install(*server->m_router);
    server->m_router->add("GET", QStringLiteral("/health"),
                          [name = server->m_engine->name(), model = server->modelName(),
                           storage = server->m_storage.get()](HttpRequest) -> QCoro::Task<HttpResponse> {
                              // A proxy in front of several instances takes one out of service
                              // when it cannot reach the database (every request needs it).
                              const bool database = storage->schemaVersion() > 0;
                              json::Json j{{"status", database ? "ok" : "unavailable"}};
                              j["database"] = database ? "ok" : "unreachable";
                              j["engine"] = name;
                              if (!model.isEmpty())
                                  j["model"] = model;
                              co_return HttpResponse::json(database ? 200 : 503, json::encode(j));
                          });
    Router *router = server->m_router.get();
    HttpLimits limits;
    limits.maxBodyBytes = server->m_config.maxBodyBytes;
    server->m_http = std::make_unique<HttpServer>(
        [router](HttpRequest request, std::shared_ptr<ResponseWriter> writer) {
            return router->dispatch(std::move(request), std::move(writer));
        },
        scheduler, limits);
    server->m_http->setWebSocketRoutes([router](const QString &path) { return router->webSocket(path); });
    server->m_http->setHeadCheck([router](const HttpRequest &request) { return router->checkHead(request); });
    return server;
}

Expected<void, QString> DravelinServer::listen()
{
    QString error;
    if (!m_http->listen(m_config.address, m_config.port, &error))
        return Unexpected{QStringLiteral("cannot listen on %1:%2: %3")
                              .arg(m_config.address.toString())
                              .arg(m_config.port)
                              .arg(error)};
    logs::info(logs::app(), QStringLiteral("dravelin-server listening on http://%1:%2 (engine %3)")
                                .arg(m_config.address.toString())
                                .arg(m_http->port())
                                .arg(m_engine->name()));
    // Links handed out (recording uploads and downloads) point at the public
    // URL; without one, at the address listened on, which only clients on
    // that network can reach.
    if (m_config.publicUrl.isEmpty()) {
        const QString host = m_config.address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? u'[' + m_config.address.toString() + u']'
                                 : m_config.address.toString();
        m_config.publicUrl = QStringLiteral("http://%1:%2").arg(host).arg(m_http->port());
        if (m_config.address == QHostAddress::Any || m_config.address == QHostAddress::AnyIPv6 ||
            m_config.address == QHostAddress::AnyIPv4)
            logs::info(logs::app(), QStringLiteral("No publicUrl is set and the server listens on every address: "
                                                   "recording links name %1, which clients cannot reach")
                                        .arg(m_config.publicUrl));
    }
    return {};
}

void DravelinServer::shutdown(Millis grace, std::function<void()> done)
{
    m_http->shutdown(grace, std::move(done));
}

quint16 DravelinServer::port() const
{
    return m_http->port();
}

QString DravelinServer::engineName() const
{
    return m_engine->name();
}

QString DravelinServer::modelName() const
{
    return m_model ? m_model->name() : QString();
}

void DravelinServer::warmUpModel()
{
    if (m_model)
        m_model->warmUp();
}

} // namespace dravelin::server
