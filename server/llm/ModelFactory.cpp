#include "llm/ModelFactory.h"

#include "core/Log.h"
#include "core/Paths.h"
#include "llm/LocalModel.h"
#include "llm/OpenAiChatModel.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace dravelin::server {

QString defaultLocalModelPath()
{
    const QString configured = qEnvironmentVariable("DRAVELIN_LLM_MODEL");
    if (!configured.isEmpty())
        return configured;
#ifdef DRAVELIN_DEFAULT_LLM_MODEL
    // Where the setup script put it, else the same file in the speech
    // models' folders (where an installed Dravelin looks for its models).
    const QString built = QStringLiteral(DRAVELIN_DEFAULT_LLM_MODEL);
    if (QFileInfo::exists(built))
        return built;
    const QString name = QFileInfo(built).fileName();
    const QStringList folders = paths::modelFolders();
    for (const QString &folder : folders) {
        if (QFileInfo::exists(folder + u'/' + name))
            return folder + u'/' + name;
    }
    return built;
#else
    return {};
#endif
}

QString localWorkerPath()
{
    const QString configured = qEnvironmentVariable("DRAVELIN_LLM_WORKER");
    if (!configured.isEmpty())
        return configured;
    // The build's worker, else the one installed beside this server.
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/dravelin-llm");
#ifdef DRAVELIN_LLM_WORKER_PATH
    const QString built = QStringLiteral(DRAVELIN_LLM_WORKER_PATH);
    return QFileInfo(built).isExecutable() || !QFileInfo(beside).isExecutable() ? built : beside;
#else
    return QFileInfo(beside).isExecutable() ? beside : QString();
#endif
}

Expected<std::unique_ptr<LanguageModel>, QString> makeLanguageModel(const LlmSettings &settings, Scheduler &scheduler)
{
    if (settings.provider == u"none")
        return std::unique_ptr<LanguageModel>();
    if (settings.provider == u"openai") {
        const QUrl base(settings.baseUrl, QUrl::StrictMode);
        if (!base.isValid() || (base.scheme() != u"http" && base.scheme() != u"https"))
            return Unexpected{QStringLiteral("llm.baseUrl must be the http(s) address of an OpenAI-compatible API")};
        if (settings.model.isEmpty())
            return Unexpected{QStringLiteral("llm.model must name the model to use at %1").arg(settings.baseUrl)};
        QByteArray key = settings.apiKey;
        if (key.isEmpty())
            key = qgetenv("DRAVELIN_LLM_API_KEY");
        return std::unique_ptr<LanguageModel>(std::make_unique<OpenAiChatModel>(
            OpenAiChatModel::Settings{base, settings.model, key, settings.stream}, scheduler));
    }
    const QString model = settings.model.isEmpty() ? defaultLocalModelPath() : settings.model;
    const QString worker = localWorkerPath();
    QString missing;
    if (worker.isEmpty() || !QFileInfo(worker).isExecutable())
        missing = QStringLiteral("this build has no language model worker (run scripts/setup-llm, then build)");
    else if (model.isEmpty() || !QFileInfo::exists(model))
        missing = QStringLiteral("no language model at %1 (run scripts/setup-llm)").arg(model);
    if (!missing.isEmpty()) {
        if (settings.provider == u"local")
            return Unexpected{missing};
        logs::info(logs::app(), QStringLiteral("No language model: %1").arg(missing));
        return std::unique_ptr<LanguageModel>();
    }
    return std::unique_ptr<LanguageModel>(std::make_unique<LocalModel>(worker, model, scheduler, settings.threads));
}

} // namespace dravelin::server
