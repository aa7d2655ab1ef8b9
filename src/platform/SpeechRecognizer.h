#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace dravelin {

// A recognition result: the best transcription so far, or the last one.
struct SpeechResult
{
    QString text;
    bool isFinal = false;
    QString error;    // set when recognition failed; `text` is what was heard before
    QString language; // the spoken language as the recogniser heard it ("de"); empty when it cannot tell
};

// What a recogniser may use beside the audio.
struct RecognitionHints
{
    RecognitionHints(QStringList vocabulary = {}, QString language = {}) // NOLINT(google-explicit-constructor)
        : vocabulary(std::move(vocabulary))
        , language(std::move(language))
    {}

    // Words the speaker is likely to use (names, jargon).
    QStringList vocabulary;
    // The spoken language as a two-letter code; "auto" or empty: detect it.
    // Recognisers that know one language ignore it.
    QString language;
};

// One utterance being recognised. Audio is appended as it is captured (from
// any thread); results arrive through the session's callback, on a thread of
// the recogniser's.
class SpeechRecognitionSession
{
public:
    virtual ~SpeechRecognitionSession() = default;
    // 16 kHz mono float samples.
    virtual void append(const float *samples, size_t count) = 0;
    // No more audio: a final result follows.
    virtual void endAudio() = 0;
    // The rest of the utterance and its end at once (an upload): a recogniser
    // that decodes while audio comes in does not start a partial on it.
    virtual void appendLast(const float *samples, size_t count)
    {
        append(samples, count);
        endAudio();
    }
    // Stops without a final result; no callback runs after this returns.
    virtual void cancel() = 0;
    // How long the final result may take after endAudio() at most, for an
    // engine that always sends one (an error counts) because it decodes on
    // this machine: however busy the machine is, its final text is coming
    // and beats the last partial. Zero: no such promise.
    virtual std::chrono::milliseconds finalResultLimit() const { return std::chrono::milliseconds(0); }
};

// On-device speech recognition.
class SpeechRecognizer
{
public:
    virtual ~SpeechRecognizer() = default;
    // Stored with each dictation ("pocketsphinx", "whisper.cpp:tiny.en").
    virtual QString engineName() const = 0;
    // Whether a model is installed and loads.
    virtual bool isAvailable() = 0;
    // Starts an utterance; recognisers that cannot take a hint ignore it.
    // Partial results arrive while audio comes in, where the recogniser can.
    virtual std::unique_ptr<SpeechRecognitionSession> startSession(std::function<void(SpeechResult)> onResult,
                                                                   const RecognitionHints &hints) = 0;
};

} // namespace dravelin
