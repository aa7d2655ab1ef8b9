#include "llm/LocalModel.h"

#include "core/AsyncEvent.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QFileInfo>
#include <QPointer>

#include <stop_token>

namespace dravelin::server {

namespace {

constexpr Millis kWatchInterval{100};
constexpr qsizetype kMaxLine = 4 * 1024 * 1024;

} // namespace

struct LocalModel::Pending
{
    AsyncEvent done;
    std::optional<Expected<Generation, GenerationFailure>> result;
    std::stop_source watching;
};

LocalModel::LocalModel(QString workerPath, QString modelPath, Scheduler &scheduler, int threads)
    : m_workerPath(std::move(workerPath))
    , m_modelPath(std::move(modelPath))
    , m_scheduler(scheduler)
    , m_threads(threads)
{}

void LocalModel::warmUp()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        start();
}

LocalModel::~LocalModel()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->closeWriteChannel(); // the worker exits at the end of its input
        if (!m_process->waitForFinished(2000))
            m_process->kill();
    }
    failAll(QStringLiteral("the server is stopping"));
}

QString LocalModel::name() const
{
    return QStringLiteral("local:") + QFileInfo(m_modelPath).fileName();
}

void LocalModel::start()
{
    m_ready = false;
    m_buffer.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setReadChannel(QProcess::StandardOutput);
    // The worker's own log lines go to our standard error.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_process.get(), &QProcess::readyReadStandardOutput, this, &LocalModel::readReplies);
    connect(m_process.get(), &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        logs::error(logs::app(), QStringLiteral("The language model worker stopped (%1 %2)")
                                     .arg(status == QProcess::CrashExit ? QStringLiteral("crashed, signal")
                                                                        : QStringLiteral("exit code"))
                                     .arg(code));
        m_ready = false;
        failAll(QStringLiteral("the language model worker stopped"));
    });
    connect(m_process.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            logs::error(logs::app(), QStringLiteral("The language model worker %1 could not start: %2")
                                         .arg(m_workerPath, m_process->errorString()));
            failAll(QStringLiteral("the language model worker could not start"));
        }
    });
    m_process->start(m_workerPath,
                     {QStringLiteral("--model"), m_modelPath, QStringLiteral("--threads"), QString::number(m_threads)});
}

void LocalModel::send(const QByteArray &line)
{
    if (m_process && m_process->state() != QProcess::NotRunning)
        m_process->write(line + '\n');
}

QCoro::Task<Expected<Generation, GenerationFailure>> LocalModel::generate(GenerationRequest request)
{
    using Kind = GenerationFailure::Kind;
    if (static_cast<int>(m_pending.size()) >= kMaxInFlight)
        co_return Unexpected{GenerationFailure{Kind::busy, QStringLiteral("the language model is busy")}};
    warmUp();

    const qint64 id = m_nextId++;
    auto pending = std::make_shared<Pending>();
    m_pending[id] = pending;
    json::Json messages = json::Json::array();
    for (const ChatMessage &m : request.messages)
        messages.push_back(json::Json{{"role", m.role.toStdString()}, {"content", m.content.toStdString()}});
    json::Json line;
    line["id"] = id;
    line["messages"] = std::move(messages);
    line["max_tokens"] = request.maxTokens;
    line["time_limit_ms"] = request.timeLimit.count();
    send(json::encode(line));

    // Watches the client and the clock while the worker has the request.
    auto watch = [](QPointer<LocalModel> self, qint64 requestId, std::weak_ptr<Pending> weak, GenerationRequest watched,
                    Scheduler &scheduler) -> QCoro::Task<> {
        const Millis deadline = scheduler.monotonicNow() + watched.timeLimit;
        const std::stop_token stop = weak.lock()->watching.get_token();
        while (!stop.stop_requested()) {
            co_await scheduler.sleep(kWatchInterval, stop);
            if (stop.stop_requested() || !self)
                co_return;
            std::optional<GenerationFailure> failure;
            if (!watched.stillWanted())
                failure = GenerationFailure{Kind::cancelled, QStringLiteral("the client went away")};
            else if (scheduler.monotonicNow() >= deadline)
                failure = GenerationFailure{
                    Kind::timedOut,
                    QStringLiteral("the model did not answer within %1 ms").arg(watched.timeLimit.count())};
            if (failure) {
                self->send(json::encode(json::Json{{"cancel", requestId}}));
                self->finish(requestId, Unexpected{*failure});
                co_return;
            }
        }
    };
    watch(QPointer<LocalModel>(this), id, pending, request, m_scheduler);

    co_await pending->done.wait();
    co_return std::move(*pending->result);
}

void LocalModel::finish(qint64 id, Expected<Generation, GenerationFailure> result)
{
    const auto it = m_pending.find(id);
    if (it == m_pending.end())
        return; // already answered (cancelled or timed out before the reply came)
    const std::shared_ptr<Pending> pending = it->second;
    m_pending.erase(it);
    pending->watching.request_stop();
    pending->result = std::move(result);
    pending->done.set();
}

void LocalModel::failAll(const QString &why)
{
    std::vector<qint64> ids;
    for (const auto &entry : m_pending)
        ids.push_back(entry.first);
    for (qint64 id : ids)
        finish(id, Unexpected{GenerationFailure{GenerationFailure::Kind::unavailable, why}});
}

void LocalModel::readReplies()
{
    m_buffer += m_process->readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray text = m_buffer.left(newline);
        m_buffer.remove(0, newline + 1);
        const auto parsed = json::parse(text);
        if (!parsed || !parsed->is_object()) {
            logs::error(logs::app(), QStringLiteral("The language model worker wrote a line that is not JSON"));
            continue;
        }
        if (json::optionalField<bool>(*parsed, "ready").value_or(false)) {
            m_ready = true;
            m_loadMs = json::optionalField<qint64>(*parsed, "load_ms").value_or(0);
            logs::info(logs::app(), QStringLiteral("Language model %1 loaded in %2 ms").arg(name()).arg(m_loadMs));
            continue;
        }
        const auto id = json::optionalField<qint64>(*parsed, "id");
        if (!id)
            continue;
        if (const auto error = json::optionalField<QString>(*parsed, "error")) {
            const QString kind = json::optionalField<QString>(*parsed, "kind").value_or(QString());
            finish(*id, Unexpected{GenerationFailure{kind == u"timedOut"    ? GenerationFailure::Kind::timedOut
                                                     : kind == u"cancelled" ? GenerationFailure::Kind::cancelled
                                                                            : GenerationFailure::Kind::failed,
                                                     *error}});
            continue;
        }
        Generation generation;
        generation.text = json::optionalField<QString>(*parsed, "text").value_or(QString());
        generation.promptTokens = json::optionalField<int>(*parsed, "prompt_tokens").value_or(0);
        generation.generatedTokens = json::optionalField<int>(*parsed, "generated_tokens").value_or(0);
        generation.promptMs = json::optionalField<qint64>(*parsed, "prompt_ms").value_or(0);
        generation.elapsedMs = json::optionalField<qint64>(*parsed, "elapsed_ms").value_or(0);
        finish(*id, std::move(generation));
    }
    if (m_buffer.size() > kMaxLine) {
        logs::error(logs::app(), QStringLiteral("The language model worker wrote an overlong line; restarting it"));
        m_process->kill();
    }
}

} // namespace dravelin::server
