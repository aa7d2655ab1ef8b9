#pragma once

#include "platform/SpeechRecognizer.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
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
    QString error; // set when decoding failed
};

// Makes a streaming session out of a recogniser that decodes whole windows of
// audio at a time (Whisper). Audio is collected as it arrives; a worker thread
// decodes the open window again whenever enough new audio has come in and
// reports the text as a partial result. Work never queues up: while a decode
// runs, new audio only accumulates, and the next decode takes all of it.
//
// Long utterances stay cheap: once the window is longer than `commitAfter`,
// the segments that ended well before its end (`keepTail`) are committed —
// their text is kept and their audio dropped — so every decode sees at most
// about `commitAfter` of audio plus one partial interval.
//
// At the end, when the last decode already covered all the audio its text is
// final at once; otherwise the rest is decoded. A failed decode ends the
// session with a final result carrying the error and the text so far.
class StreamingDecoder final : public SpeechRecognitionSession
{
public:
    using Decode = std::function<DecodeOutcome(const std::vector<float> &window)>;

    struct Options
    {
        size_t partialEvery = 12000;     // 0.75 s of new audio
        size_t commitAfter = 16000 * 10; // 10 s
        size_t keepTail = 16000 * 2;     // 2 s
    };

    StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult);
    StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult, Options options);
    ~StreamingDecoder() override;

    void append(const float *samples, size_t count) override;
    void endAudio() override;
    void cancel() override;

private:
    void run();
    QString textLocked() const;

    const Decode m_decode;
    const std::function<void(SpeechResult)> m_onResult;
    const Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<float> m_window; // audio not yet committed
    size_t m_decodedUpTo = 0;    // how much of the window the last decode saw
    bool m_decodedOnce = false;
    QString m_committed;
    QString m_windowText;
    bool m_ending = false;
    bool m_cancelled = false;
    std::thread m_worker;
};

// The segments' texts, trimmed and joined with single spaces.
QString joinSegments(const std::vector<DecodedSegment> &segments);

} // namespace dravelin
