#pragma once

#include "llm/LanguageModel.h"

#include <QObject>
#include <QProcess>

#include <map>
#include <memory>

namespace dravelin::server {

// The model on this machine: a `dravelin-llm` worker process that holds a
// GGUF model in llama.cpp and answers one request at a time over a pipe
// (JSON lines: requests and cancellations in, replies out). Keeping the
// model in its own process keeps llama.cpp's ggml apart from the one in
// whisper.cpp, keeps a crash in either from taking the server down, and lets
// a cancelled generation stop at the next token.
//
// At most kMaxInFlight requests are accepted (one generating, the rest
// waiting their turn); beyond that the answer is busy at once. A request's
// time limit counts from when it is accepted. The worker starts at warmUp()
// or with the first request, and again with the next request after it died.
class LocalModel final : public QObject, public LanguageModel
{
    Q_OBJECT
public:
    static constexpr int kMaxInFlight = 4;

    LocalModel(QString workerPath, QString modelPath, Scheduler &scheduler, int threads = 2);
    ~LocalModel() override;

    QString name() const override;
    QCoro::Task<Expected<Generation, GenerationFailure>> generate(GenerationRequest request) override;
    void warmUp() override;

    bool isReady() const { return m_ready; }
    // The worker's process id while it runs (for measuring it); 0 otherwise.
    qint64 workerPid() const { return m_process ? m_process->processId() : 0; }
    qint64 loadMs() const { return m_loadMs; }

private:
    struct Pending;
    void start();
    void readReplies();
    void finish(qint64 id, Expected<Generation, GenerationFailure> result);
    void failAll(const QString &why);
    void send(const QByteArray &line);

    QString m_workerPath;
    QString m_modelPath;
    Scheduler &m_scheduler;
    int m_threads;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_buffer;
    bool m_ready = false;
    qint64 m_loadMs = 0;
    qint64 m_nextId = 1;
    std::map<qint64, std::shared_ptr<Pending>> m_pending;
};

} // namespace dravelin::server
