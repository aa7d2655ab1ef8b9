#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "engines/SpeechEngine.h"

#include <memory>

namespace dravelin {
class SpeechRecognizer;
}

namespace dravelin::server {

// Runs a whole upload through an on-device recogniser (PocketSphinx here),
// one utterance at a time on the engine's own queue, off the main thread.
class RecognizerEngine final : public SpeechEngine
{
public:
    RecognizerEngine(std::unique_ptr<SpeechRecognizer> recognizer, Scheduler &scheduler);
    ~RecognizerEngine() override;

    QString name() const override;
    QCoro::Task<Expected<QString, QString>> transcribe(std::vector<float> samples, QStringList vocabulary) override;

private:
    std::shared_ptr<SpeechRecognizer> m_recognizer;
    Scheduler &m_scheduler;
    std::unique_ptr<ThreadQueue> m_queue;
};

} // namespace dravelin::server
