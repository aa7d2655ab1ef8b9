#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "engines/SpeechEngine.h"

#include <atomic>
#include <memory>

namespace dravelin {
class SpeechRecognizer;
}

namespace dravelin::server {

// The server's speech engine over a platform recogniser (Whisper or
// PocketSphinx). Uploads are decoded one at a time on the engine's own queue;
// live streams run in the recogniser's sessions. Nothing blocks the main thread.
class RecognizerEngine final : public SpeechEngine
{
public:
    RecognizerEngine(std::unique_ptr<SpeechRecognizer> recognizer, Scheduler &scheduler);
    ~RecognizerEngine() override;

    QString name() const override;
    QCoro::Task<Expected<Recognized, QString>> transcribe(std::vector<float> samples, RecognitionHints hints) override;
    std::unique_ptr<SpeechStream> openStream(RecognitionHints hints,
                                             std::function<void(const QString &)> onPartial) override;

    // How long a stream waits for its final text after the audio ended.
    static constexpr Millis kFinalTimeout{60000};

private:
    std::shared_ptr<SpeechRecognizer> m_recognizer;
    Scheduler &m_scheduler;
    // Set as the engine goes: uploads still queued are not decoded then, so
    // the server's exit waits for at most the one being decoded.
    std::shared_ptr<std::atomic<bool>> m_closing = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<ThreadQueue> m_queue;
};

} // namespace dravelin::server
