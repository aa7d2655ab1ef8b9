#include "engines/RecognizerEngine.h"

#include "platform/SpeechRecognizer.h"

#include <future>

namespace dravelin::server {

RecognizerEngine::RecognizerEngine(std::unique_ptr<SpeechRecognizer> recognizer, Scheduler &scheduler)
    : m_recognizer(std::move(recognizer))
    , m_scheduler(scheduler)
    , m_queue(std::make_unique<ThreadQueue>(QStringLiteral("com.dravelin.server-speech")))
{}

RecognizerEngine::~RecognizerEngine()
{
    m_queue.reset();
}

QString RecognizerEngine::name() const
{
    return m_recognizer->engineName();
}

QCoro::Task<Expected<QString, QString>> RecognizerEngine::transcribe(std::vector<float> samples, QStringList)
{
    using Result = Expected<QString, QString>;
    // A little silence on both sides: the recogniser estimates the noise
    // floor from the start of an utterance, and uploads often begin with speech.
    constexpr size_t kPad = 16000 * 3 / 10;
    samples.insert(samples.begin(), kPad, 0.0f);
    samples.insert(samples.end(), kPad, 0.0f);
    auto job = [recognizer = m_recognizer, samples = std::move(samples)]() -> Result {
        if (!recognizer->isAvailable())
            return Unexpected{QStringLiteral("the speech model is not installed")};
        std::promise<SpeechResult> final;
        auto future = final.get_future();
        bool delivered = false;
        auto session = recognizer->startSession([&final, &delivered](SpeechResult result) {
            if (result.isFinal && !delivered) {
                delivered = true;
                final.set_value(std::move(result));
            }
        });
        if (!session)
            return Unexpected{QStringLiteral("the speech recogniser could not start")};
        constexpr size_t kBlock = 16000;
        for (size_t offset = 0; offset < samples.size(); offset += kBlock)
            session->append(samples.data() + offset, std::min(kBlock, samples.size() - offset));
        session->endAudio();
        const SpeechResult result = future.get();
        session.reset();
        if (!result.error.isEmpty())
            return Unexpected{result.error};
        return result.text;
    };
    co_return co_await onQueue(*m_queue, m_scheduler, std::move(job));
}

} // namespace dravelin::server
