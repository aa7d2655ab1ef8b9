#pragma once

#include "ServerConfig.h"
#include "core/Scheduler.h"
#include "http/Router.h"
#include "storage/Storage.h"

namespace dravelin::server {

class AuthRoutes;
class LanguageModel;

// The functions that need a language model: rewrite (a selection in one of
// four styles, or by a transform's instruction) and ask (a spoken question:
// a short answer, or a video, shopping or map search to open). Without a
// model both answer 503 saying how to turn one on. A client that hangs up
// while its request waits or runs cancels it.
class TextFunctions
{
public:
    static constexpr qsizetype kMaxBodyBytes = 64 * 1024;
    static constexpr qsizetype kMaxRewriteChars = 6000;
    static constexpr qsizetype kMaxInstructionChars = 2000;
    static constexpr qsizetype kMaxQuestionChars = 1000;

    // `model` may be null (no model configured).
    TextFunctions(const ServerConfig &config, Storage &storage, AuthRoutes &auth, LanguageModel *model,
                  Scheduler &scheduler);

    void install(Router &router);

private:
    QCoro::Task<> rewrite(HttpRequest request, std::shared_ptr<ResponseWriter> writer);
    QCoro::Task<> ask(HttpRequest request, std::shared_ptr<ResponseWriter> writer);
    void record(const QString &userId, const char *function, qsizetype in, qsizetype out, qint64 ms);

    const ServerConfig &m_config;
    Storage &m_storage;
    AuthRoutes &m_auth;
    LanguageModel *m_model;
    Scheduler &m_scheduler;
};

} // namespace dravelin::server
