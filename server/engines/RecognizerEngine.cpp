#include "engines/RecognizerEngine.h"

#include "core/AsyncEvent.h"
#include "platform/SpeechRecognizer.h"

#include <future>

namespace dravelin::server {

namespace {

// A little silence on both sides of an utterance: PocketSphinx estimates the
// noise floor from its start, and clients often begin with speech.
constexpr size_t kPad = 16000 * 3 / 10;

// A stream's state on the main thread; the recogniser's thread reaches it
// only through posted calls that hold it weakly.
struct StreamState
{
    std::function<void(const QString &)> onPartial;
    std::optional<Expected<Recognized, QString>> final;
    AsyncEvent finished;

    void settle(Expected<Recognized, QString> result)
    {
        if (final)
            return;
        final = std::move(result);
        finished.set();
    }
};

class RecognizerStream final : public SpeechStream
{
public:
    RecognizerStream(SpeechRecognizer &recognizer, Scheduler &scheduler, const RecognitionHints &hints,
                     std::function<void(const QString &)> onPartial)
        : m_scheduler(scheduler)
        , m_state(std::make_shared<StreamState>())
    {
        m_state->onPartial = std::move(onPartial);
        std::weak_ptr<StreamState> weak = m_state;
        auto onResult = [weak, scheduler = &scheduler](SpeechResult result) {
            scheduler->postFromAnyThread([weak, result = std::move(result)] {
                const auto state = weak.lock();
                if (!state || state->final)
                    return;
                if (!result.isFinal) {
                    if (state->onPartial)
                        state->onPartial(result.text);
                    return;
                }
                if (!result.error.isEmpty())
                    state->settle(Unexpected{result.error});
                else
                    state->settle(Recognized{result.text, result.language});
            });
        };
        if (recognizer.isAvailable())
            m_session = recognizer.startSession(std::move(onResult), hints);
        if (!m_session)
            m_state->settle(Unexpected{QStringLiteral("the speech recogniser could not start")});
        else
            append(std::vector<float>(kPad, 0.0f));
    }

    ~RecognizerStream() override
    {
        // No callback runs after this: the session joins its thread.
        m_session.reset();
    }

    void append(const std::vector<float> &samples) override
    {
        if (m_session && !m_ended)
            m_session->append(samples.data(), samples.size());
    }

    QCoro::Task<Expected<Recognized, QString>> finish() override
    {
        std::shared_ptr<StreamState> state = m_state;
        if (m_session && !m_ended) {
            append(std::vector<float>(kPad, 0.0f));
            m_ended = true;
            m_session->endAudio();
            std::weak_ptr<StreamState> weak = state;
            m_scheduler.scheduleWake(RecognizerEngine::kFinalTimeout, [weak] {
                if (const auto s = weak.lock())
                    s->settle(Unexpected{QStringLiteral("no final text within %1 s")
                                             .arg(RecognizerEngine::kFinalTimeout.count() / 1000)});
            });
        }
        co_await state->finished.wait();
        Expected<Recognized, QString> result = *state->final;
        co_return result;
    }

private:
    Scheduler &m_scheduler;
    std::shared_ptr<StreamState> m_state;
    std::unique_ptr<SpeechRecognitionSession> m_session;
    bool m_ended = false;
};

} // namespace

RecognizerEngine::RecognizerEngine(std::unique_ptr<SpeechRecognizer> recognizer, Scheduler &scheduler)
    : m_recognizer(std::move(recognizer))
    , m_scheduler(scheduler)
    , m_queue(std::make_unique<ThreadQueue>(QStringLiteral("com.dravelin.server-speech")))
{}

RecognizerEngine::~RecognizerEngine()
{
    m_closing->store(true);
    m_queue.reset();
}

QString RecognizerEngine::name() const
{
    return m_recognizer->engineName();
}

QCoro::Task<Expected<Recognized, QString>> RecognizerEngine::transcribe(std::vector<float> samples,
                                                                        RecognitionHints hints)
{
    using Result = Expected<Recognized, QString>;
    samples.insert(samples.begin(), kPad, 0.0f);
    samples.insert(samples.end(), kPad, 0.0f);
    auto job = [recognizer = m_recognizer, closing = m_closing, samples = std::move(samples), hints]() -> Result {
        if (closing->load())
            return Unexpected{QStringLiteral("the server is shutting down")};
        if (!recognizer->isAvailable())
            return Unexpected{QStringLiteral("the speech model is not installed")};
        std::promise<SpeechResult> final;
        auto future = final.get_future();
        bool delivered = false;
        auto session = recognizer->startSession(
            [&final, &delivered](SpeechResult result) {
                if (result.isFinal && !delivered) {
                    delivered = true;
                    final.set_value(std::move(result));
                }
            },
            hints);
        if (!session)
            return Unexpected{QStringLiteral("the speech recogniser could not start")};
        // All at once, so a streaming session decodes the whole upload in
        // one pass rather than partial by partial.
        session->appendLast(samples.data(), samples.size());
        const SpeechResult result = future.get();
        session.reset();
        if (!result.error.isEmpty())
            return Unexpected{result.error};
        return Recognized{result.text, result.language};
    };
    co_return co_await onQueue(*m_queue, m_scheduler, std::move(job));
}

std::unique_ptr<SpeechStream> RecognizerEngine::openStream(RecognitionHints hints,
                                                           std::function<void(const QString &)> onPartial)
{
    return std::make_unique<RecognizerStream>(*m_recognizer, m_scheduler, hints, std::move(onPartial));
}

} // namespace dravelin::server
