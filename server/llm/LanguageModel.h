#pragma once

#include "core/Expected.h"
#include "core/Scheduler.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <vector>

namespace dravelin::server {

struct ChatMessage
{
    QString role; // "system", "user" or "assistant"
    QString content;
};

struct GenerationRequest
{
    std::vector<ChatMessage> messages;
    int maxTokens = 256;
    Millis timeLimit{20000};
    // Asked now and then while the request waits or runs; false ends it (the
    // client went away).
    std::function<bool()> stillWanted = [] { return true; };
};

struct Generation
{
    QString text;
    int promptTokens = 0;
    int generatedTokens = 0;
    qint64 promptMs = 0; // of elapsedMs, reading the prompt (0 when unknown)
    qint64 elapsedMs = 0;
};

struct GenerationFailure
{
    enum class Kind {
        busy,        // every slot of the queue is taken: try again shortly
        cancelled,   // the client went away
        timedOut,    // the time limit passed
        unavailable, // no model (turned off, missing, or its process died)
        failed       // the provider answered with an error or garbage
    };
    Kind kind = Kind::failed;
    QString message;
};

// A chat model the server's text functions use: on this machine (a worker
// process around llama.cpp) or behind an OpenAI-compatible endpoint.
// Greedy decoding, so the same request gives the same text.
class LanguageModel
{
public:
    virtual ~LanguageModel() = default;
    // "local:<model file name>", "openai:<model>".
    virtual QString name() const = 0;
    virtual QCoro::Task<Expected<Generation, GenerationFailure>> generate(GenerationRequest request) = 0;
    // Loads the model ahead of the first request (it loads on demand otherwise).
    virtual void warmUp() {}
};

} // namespace dravelin::server
