#pragma once

#include "platform/SpeechRecognizer.h"

#include <QString>

#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

namespace dravelin {

// One stretch of decoded text and where it lies in the audio it came from.
struct DecodedSegment
{
    size_t startSample = 0;
    size_t endSample = 0;
    QString text;
};

struct DecodeOutcome
{
    std::vector<DecodedSegment> segments;
    QString error;    // set when decoding failed
    QString language; // the language the decoder heard, when it tells
};

// Makes a streaming session out of a recogniser that decodes whole windows of
// audio at a time (Whisper). Audio is collected as it arrives; a worker thread
// decodes the open window again whenever enough new audio has come in and
// reports the text as a partial result. Work never queues up: while a decode
// runs, new audio only accumulates, and the next decode takes all of it.
//
// Long utterances stay cheap: once the window is longer than `commitAfter`,
// the segments that ended well before its end (`keepTail`) are committed —
// their text is kept and their audio dropped, cut at the quietest point near
// the last committed segment's end — so every decode sees at most about
// `commitAfter` of audio plus one partial interval.
//
// At the end, when the last decode already covered all the audio its text is
// final at once; otherwise the rest is decoded. A failed decode ends the
// session with a final result carrying the error and the text so far.
//
// Cancelling (or destroying the session) never waits for a decode: the stop
// token is raised, no callback runs once cancel() has returned, and the worker
// finishes on its own. `decode` must therefore keep alive whatever it uses
// (the recogniser holds its model in a shared pointer for this).
class StreamingDecoder final : public SpeechRecognitionSession
{
public:
    // `stop` is requested when the session is cancelled: a decode that
    // watches it can give up early.
    using Decode = std::function<DecodeOutcome(const std::vector<float> &window, std::stop_token stop)>;

    struct Options
    {
        size_t partialEvery = 12000;     // 0.75 s of new audio
        size_t commitAfter = 16000 * 10; // 10 s
        size_t keepTail = 16000 * 2;     // 2 s
        // Audio after the last decode that stays below this level (RMS of
        // every 20 ms) holds no words: at the end, the last decode is final.
        double quietTailLevel = 0.005;
    };

    StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult);
    StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult, Options options);
    ~StreamingDecoder() override;

    void append(const float *samples, size_t count) override;
    void endAudio() override;
    void appendLast(const float *samples, size_t count) override;
    void cancel() override;
    // The worker always ends with a final result or an error.
    std::chrono::milliseconds finalResultLimit() const override { return std::chrono::seconds(20); }

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared> &shared);

    std::shared_ptr<Shared> m_shared;
};

// The segments' texts, trimmed and joined with single spaces.
QString joinSegments(const std::vector<DecodedSegment> &segments);

} // namespace dravelin
