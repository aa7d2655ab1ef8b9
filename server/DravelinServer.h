#pragma once

#include "ServerConfig.h"
#include "core/Expected.h"
#include "core/Scheduler.h"
#include "engines/SpeechEngine.h"

#include <QObject>

#include <functional>
#include <memory>

namespace dravelin::server {

class AdminRoutes;
class LanguageModel;
class TextFunctions;
class AuthRoutes;
class FunctionRoutes;
class TranscriptCleaner;
class RecordingRoutes;
class HttpServer;
class Router;
class SpeechEngine;
class Storage;
class UpdateFeed;

// The embedded backend: storage, engines and routes behind one HTTP server.
class DravelinServer : public QObject
{
    Q_OBJECT
public:
    // Opens the configured database (SQLite in config.dataDir unless
    // config.database names PostgreSQL) and picks the speech engine. The engine
    // may be given (tests); otherwise it follows config.engine.
    static Expected<std::unique_ptr<DravelinServer>, QString> create(ServerConfig config, Scheduler &scheduler,
                                                                     std::unique_ptr<SpeechEngine> engine = nullptr);
    ~DravelinServer() override;

    Expected<void, QString> listen();
    // Stops taking requests and lets those under way finish for up to
    // `grace`; then `done` runs (once).
    void shutdown(Millis grace, std::function<void()> done);
    quint16 port() const;
    const ServerConfig &config() const { return m_config; }
    Storage &storage() { return *m_storage; }
    QString engineName() const;
    // The language model's name; empty without one.
    QString modelName() const;
    // Loads the language model now rather than with the first request.
    void warmUpModel();

private:
    explicit DravelinServer(ServerConfig config, Scheduler &scheduler);

    ServerConfig m_config;
    Scheduler &m_scheduler;
    std::unique_ptr<Storage> m_storage;
    std::unique_ptr<SpeechEngine> m_engine;
    std::unique_ptr<Router> m_router;
    std::unique_ptr<AuthRoutes> m_auth;
    std::unique_ptr<RecordingRoutes> m_recordings;
    std::unique_ptr<FunctionRoutes> m_functions;
    std::unique_ptr<AdminRoutes> m_admin;
    std::unique_ptr<LanguageModel> m_model;
    std::unique_ptr<TranscriptCleaner> m_cleaner;
    std::unique_ptr<TextFunctions> m_text;
    std::unique_ptr<UpdateFeed> m_updates;
    std::unique_ptr<HttpServer> m_http;
};

} // namespace dravelin::server
