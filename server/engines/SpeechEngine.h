#pragma once

#include "core/Expected.h"
#include "platform/SpeechRecognizer.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <vector>

namespace dravelin::server {

// What an engine heard.
struct Recognized
{
    QString text;
    QString language; // "de"; empty when the engine cannot tell
};

// One live utterance: audio goes in while the speaker talks, partial text
// comes out, and the final text follows the end of the audio. Main thread only.
class SpeechStream
{
public:
    virtual ~SpeechStream() = default;
    // 16 kHz mono samples, in order.
    virtual void append(const std::vector<float> &samples) = 0;
    // No more audio: the final text, or why there is none. Called once; the
    // caller keeps the stream alive until it returns.
    virtual QCoro::Task<Expected<Recognized, QString>> finish() = 0;
};

// A speech recogniser the server transcribes with.
class SpeechEngine
{
public:
    virtual ~SpeechEngine() = default;
    // Named in every reply's "engine".
    virtual QString name() const = 0;
    // The words in 16 kHz mono audio; the hints may steer recognition.
    virtual QCoro::Task<Expected<Recognized, QString>> transcribe(std::vector<float> samples,
                                                                  RecognitionHints hints) = 0;
    // A live utterance. `onPartial` runs on the main thread with the text
    // heard so far, never after the stream is gone.
    virtual std::unique_ptr<SpeechStream> openStream(RecognitionHints hints,
                                                     std::function<void(const QString &)> onPartial) = 0;
};

} // namespace dravelin::server
