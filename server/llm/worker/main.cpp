// dravelin-llm: the language model worker of dravelin-server. It holds one
// GGUF model in llama.cpp and answers requests one at a time, as JSON lines:
//
//   in:  {"id": 1, "messages": [{"role": "system", "content": "…"}, …],
//         "max_tokens": 256, "time_limit_ms": 20000}
//        {"cancel": 1}
//   out: {"ready": true, "model": "…", "load_ms": 812}        (once, after loading)
//        {"id": 1, "text": "…", "prompt_tokens": 80, "generated_tokens": 31,
//         "prompt_ms": 400, "elapsed_ms": 1900}
//        {"id": 1, "error": "…", "kind": "failed" | "timedOut" | "cancelled"}
//
// Decoding is greedy, so a request always gives the same text. A cancel
// stops the request at its next token (or before it starts). The worker exits
// when its input ends.

#include "llama.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kContextTokens = 4096;
constexpr int kBatchTokens = 512;

struct Request
{
    long long id = 0;
    std::vector<std::pair<std::string, std::string>> messages;
    int maxTokens = 256;
    long long timeLimitMs = 20000;
};

std::mutex outputLock;

void emit(const json &line)
{
    const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard lock(outputLock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void fail(long long id, const std::string &message, const char *kind)
{
    emit(json{{"id", id}, {"error", message}, {"kind", kind}});
}

long long msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Requests from standard input, and which of them were cancelled.
class Inbox
{
public:
    void readAll()
    {
        std::string line;
        while (std::getline(std::cin, line)) {
            const json message = json::parse(line, nullptr, false);
            if (!message.is_object())
                continue;
            std::lock_guard lock(m_lock);
            if (message.contains("cancel") && message["cancel"].is_number_integer()) {
                m_cancelled.insert(message["cancel"].get<long long>());
                continue;
            }
            Request request;
            request.id = message.value("id", 0LL);
            request.maxTokens = std::clamp(message.value("max_tokens", 256), 1, kContextTokens / 2);
            request.timeLimitMs = std::max(1LL, message.value("time_limit_ms", 20000LL));
            if (message.contains("messages") && message["messages"].is_array()) {
                for (const json &m : message["messages"]) {
                    if (m.is_object() && m.contains("role") && m["role"].is_string() && m.contains("content") &&
                        m["content"].is_string())
                        request.messages.emplace_back(m["role"].get<std::string>(), m["content"].get<std::string>());
                }
            }
            m_requests.push_back(std::move(request));
            m_wake.notify_one();
        }
        std::lock_guard lock(m_lock);
        m_closed = true;
        m_wake.notify_one();
    }

    // The next request; false once the input has ended.
    bool next(Request &request)
    {
        std::unique_lock lock(m_lock);
        m_wake.wait(lock, [this] { return m_closed || !m_requests.empty(); });
        if (m_requests.empty())
            return false;
        request = std::move(m_requests.front());
        m_requests.pop_front();
        return true;
    }

    bool cancelled(long long id)
    {
        std::lock_guard lock(m_lock);
        return m_cancelled.count(id) > 0;
    }
    bool closed()
    {
        std::lock_guard lock(m_lock);
        return m_closed;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Request> m_requests;
    std::set<long long> m_cancelled;
    bool m_closed = false;
};

std::string pieceOf(const llama_vocab *vocab, llama_token token)
{
    char buffer[256];
    const int n = llama_token_to_piece(vocab, token, buffer, sizeof buffer, 0, false);
    if (n >= 0)
        return std::string(buffer, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(-n), '\0');
    const int m = llama_token_to_piece(vocab, token, big.data(), -n, 0, false);
    big.resize(m < 0 ? 0 : static_cast<size_t>(m));
    return big;
}

class Model
{
public:
    Model(llama_model *model, llama_context *context)
        : m_model(model)
        , m_context(context)
        , m_vocab(llama_model_get_vocab(model))
        , m_template(llama_model_chat_template(model, nullptr))
    {
        m_sampler = llama_sampler_chain_init(llama_sampler_chain_default_params());
        llama_sampler_chain_add(m_sampler, llama_sampler_init_greedy());
    }
    ~Model()
    {
        llama_sampler_free(m_sampler);
        llama_free(m_context);
        llama_model_free(m_model);
    }

    void answer(const Request &request, Inbox &inbox)
    {
        const auto started = Clock::now();
        if (inbox.cancelled(request.id))
            return fail(request.id, "cancelled before it started", "cancelled");
        std::vector<llama_chat_message> chat;
        for (const auto &[role, content] : request.messages)
            chat.push_back({role.c_str(), content.c_str()});
        if (chat.empty())
            return fail(request.id, "no messages", "failed");
        std::string prompt = format(chat);
        if (prompt.empty())
            return fail(request.id, "the model's chat template cannot format these messages", "failed");

        std::vector<llama_token> tokens = tokenize(prompt);
        if (tokens.empty() || static_cast<int>(tokens.size()) + request.maxTokens > kContextTokens)
            return fail(request.id,
                        "the prompt is too long for the model (" + std::to_string(tokens.size()) + " tokens)",
                        "failed");

        // What the cache already holds of this prompt (the system prompt of
        // the last request, typically) is not computed again.
        llama_memory_t memory = llama_get_memory(m_context);
        size_t reuse = 0;
        while (reuse < m_cached.size() && reuse + 1 < tokens.size() && m_cached[reuse] == tokens[reuse])
            ++reuse;
        if (!llama_memory_seq_rm(memory, 0, static_cast<llama_pos>(reuse), -1)) {
            llama_memory_clear(memory, true);
            reuse = 0;
        }
        m_cached.assign(tokens.begin(), tokens.begin() + static_cast<long>(reuse));
        llama_sampler_reset(m_sampler);
        for (size_t at = reuse; at < tokens.size(); at += kBatchTokens) {
            const int count = static_cast<int>(std::min<size_t>(kBatchTokens, tokens.size() - at));
            if (llama_decode(m_context, llama_batch_get_one(tokens.data() + at, count)) != 0) {
                llama_memory_clear(memory, true);
                m_cached.clear();
                return fail(request.id, "decoding the prompt failed", "failed");
            }
            m_cached.insert(m_cached.end(), tokens.begin() + static_cast<long>(at),
                            tokens.begin() + static_cast<long>(at + static_cast<size_t>(count)));
            if (inbox.cancelled(request.id))
                return fail(request.id, "cancelled", "cancelled");
        }
        const long long promptMs = msSince(started);

        std::string text;
        int generated = 0;
        while (generated < request.maxTokens) {
            if (inbox.cancelled(request.id))
                return fail(request.id, "cancelled", "cancelled");
            if (msSince(started) > request.timeLimitMs)
                return fail(request.id, "no answer within " + std::to_string(request.timeLimitMs) + " ms", "timedOut");
            llama_token token = llama_sampler_sample(m_sampler, m_context, -1);
            if (llama_vocab_is_eog(m_vocab, token))
                break;
            text += pieceOf(m_vocab, token);
            ++generated;
            if (llama_decode(m_context, llama_batch_get_one(&token, 1)) != 0) {
                llama_memory_clear(llama_get_memory(m_context), true);
                m_cached.clear();
                return fail(request.id, "decoding failed", "failed");
            }
            m_cached.push_back(token);
        }
        emit(json{{"id", request.id},
                  {"text", text},
                  {"prompt_tokens", tokens.size()},
                  {"reused_tokens", reuse},
                  {"generated_tokens", generated},
                  {"prompt_ms", promptMs},
                  {"elapsed_ms", msSince(started)}});
    }

private:
    std::string format(const std::vector<llama_chat_message> &chat)
    {
        // The model's own template when llama.cpp knows it, else ChatML.
        const char *tmpl = m_template ? m_template : "chatml";
        std::vector<char> buffer(8192);
        int n = llama_chat_apply_template(tmpl, chat.data(), chat.size(), true, buffer.data(),
                                          static_cast<int32_t>(buffer.size()));
        if (n < 0 && tmpl != std::string("chatml")) {
            tmpl = "chatml";
            n = llama_chat_apply_template(tmpl, chat.data(), chat.size(), true, buffer.data(),
                                          static_cast<int32_t>(buffer.size()));
        }
        if (n > static_cast<int>(buffer.size())) {
            buffer.resize(static_cast<size_t>(n));
            n = llama_chat_apply_template(tmpl, chat.data(), chat.size(), true, buffer.data(), n);
        }
        return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
    }

    std::vector<llama_token> tokenize(const std::string &prompt)
    {
        const int n =
            -llama_tokenize(m_vocab, prompt.c_str(), static_cast<int32_t>(prompt.size()), nullptr, 0, false, true);
        if (n <= 0)
            return {};
        std::vector<llama_token> tokens(static_cast<size_t>(n));
        if (llama_tokenize(m_vocab, prompt.c_str(), static_cast<int32_t>(prompt.size()), tokens.data(), n, false,
                           true) != n)
            return {};
        // A beginning-of-sequence token when the model wants one and the
        // template did not write it.
        if (llama_vocab_get_add_bos(m_vocab) && tokens.front() != llama_vocab_bos(m_vocab))
            tokens.insert(tokens.begin(), llama_vocab_bos(m_vocab));
        return tokens;
    }

    llama_model *m_model;
    llama_context *m_context;
    const llama_vocab *m_vocab;
    const char *m_template;
    llama_sampler *m_sampler = nullptr;
    std::vector<llama_token> m_cached; // the tokens the context's memory holds, in order
};

void quietLog(ggml_log_level level, const char *text, void *)
{
    if (level == GGML_LOG_LEVEL_ERROR)
        std::fputs(text, stderr);
}

} // namespace

int main(int argc, char **argv)
{
    std::string modelPath;
    int threads = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--model") == 0)
            modelPath = argv[i + 1];
        else if (std::strcmp(argv[i], "--threads") == 0)
            threads = std::max(1, std::atoi(argv[i + 1]));
    }
    if (modelPath.empty()) {
        std::fprintf(stderr, "usage: dravelin-llm --model FILE.gguf [--threads N]\n");
        return 2;
    }

    llama_log_set(quietLog, nullptr);
    llama_backend_init();
    const auto loading = Clock::now();
    llama_model_params modelParams = llama_model_default_params();
    modelParams.n_gpu_layers = 0;
    llama_model *model = llama_model_load_from_file(modelPath.c_str(), modelParams);
    if (!model) {
        emit(json{{"ready", false}, {"error", "cannot load the model " + modelPath}});
        return 1;
    }
    llama_context_params contextParams = llama_context_default_params();
    contextParams.n_ctx = kContextTokens;
    contextParams.n_batch = kBatchTokens;
    contextParams.n_threads = threads;
    contextParams.n_threads_batch = threads;
    llama_context *context = llama_init_from_model(model, contextParams);
    if (!context) {
        llama_model_free(model);
        emit(json{{"ready", false}, {"error", "cannot create a context for the model"}});
        return 1;
    }
    Model worker(model, context);
    char description[256];
    llama_model_desc(model, description, sizeof description);
    emit(json{{"ready", true}, {"model", description}, {"load_ms", msSince(loading)}});

    Inbox inbox;
    std::thread reader([&inbox] { inbox.readAll(); });
    Request request;
    while (inbox.next(request))
        worker.answer(request, inbox);
    reader.join();
    llama_backend_free();
    return 0;
}
