#include "platform/StreamingDecoder.h"

#include <cmath>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dravelin {

namespace {

QString joined(const QString &a, const QString &b)
{
    if (a.isEmpty())
        return b;
    if (b.isEmpty())
        return a;
    return a + u' ' + b;
}

// Whether every 20 ms of `window` from `from` on stays below `level` (RMS).
bool isQuiet(const std::vector<float> &window, size_t from, double level)
{
    constexpr size_t frame = 320;
    for (size_t start = from; start < window.size(); start += frame) {
        const size_t end = std::min(window.size(), start + frame);
        double energy = 0;
        for (size_t i = start; i < end; ++i)
            energy += static_cast<double>(window[i]) * window[i];
        if (std::sqrt(energy / static_cast<double>(end - start)) >= level)
            return false;
    }
    return true;
}

// The quietest point within 0.4 s of `around` (and before `limit`), where a
// window can be cut without splitting a word: segment timestamps are only
// roughly where the words end.
size_t quietPointNear(const std::vector<float> &window, size_t around, size_t limit)
{
    constexpr size_t kFrame = 320; // 20 ms
    constexpr size_t kReach = 16000 * 4 / 10;
    const size_t from = around > kReach ? around - kReach : 0;
    const size_t to = std::min({around + kReach, limit, window.size()});
    size_t best = std::min(around, to);
    double bestEnergy = -1;
    for (size_t f = from; f + kFrame <= to; f += kFrame / 2) {
        double energy = 0;
        for (size_t i = f; i < f + kFrame; ++i)
            energy += static_cast<double>(window[i]) * window[i];
        if (bestEnergy < 0 || energy < bestEnergy) {
            bestEnergy = energy;
            best = f + kFrame / 2;
        }
    }
    return best;
}

} // namespace

QString joinSegments(const std::vector<DecodedSegment> &segments)
{
    QString text;
    for (const auto &segment : segments)
        text = joined(text, segment.text.trimmed());
    return text;
}

struct StreamingDecoder::Shared
{
    Decode decode;
    std::function<void(SpeechResult)> onResult;
    Options options;

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<float> window; // audio not yet committed
    size_t decodedUpTo = 0;    // how much of the window the last decode saw
    bool decodedOnce = false;
    QString committed;
    QString windowText;
    QString language; // as the last decode that told heard it
    bool ending = false;
    bool cancelled = false;
    std::stop_source stop;
    std::thread::id worker;

    // Held while a result is handed over, so cancel() can wait for one that
    // is under way (a quick call) instead of for a decode.
    std::mutex callbackMutex;

    QString text() const { return joined(committed, windowText); }

    // Hands a result over unless the session was cancelled; true if it was.
    bool deliver(SpeechResult result)
    {
        std::lock_guard callback(callbackMutex);
        {
            std::lock_guard lock(mutex);
            if (cancelled)
                return false;
        }
        onResult(std::move(result));
        return true;
    }
};

StreamingDecoder::StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult)
    : StreamingDecoder(std::move(decode), std::move(onResult), Options{})
{}

StreamingDecoder::StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult, Options options)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->decode = std::move(decode);
    m_shared->onResult = std::move(onResult);
    m_shared->options = options;
    std::lock_guard lock(m_shared->mutex);
    std::thread worker([shared = m_shared] { run(shared); });
    m_shared->worker = worker.get_id();
    worker.detach();
}

StreamingDecoder::~StreamingDecoder()
{
    cancel();
}

void StreamingDecoder::append(const float *samples, size_t count)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->ending || m_shared->cancelled)
            return;
        m_shared->window.insert(m_shared->window.end(), samples, samples + count);
    }
    m_shared->wake.notify_one();
}

void StreamingDecoder::endAudio()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->ending = true;
    }
    m_shared->wake.notify_one();
}

void StreamingDecoder::appendLast(const float *samples, size_t count)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->ending || m_shared->cancelled)
            return;
        m_shared->window.insert(m_shared->window.end(), samples, samples + count);
        m_shared->ending = true;
    }
    m_shared->wake.notify_one();
}

void StreamingDecoder::cancel()
{
    std::thread::id worker;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->cancelled = true;
        worker = m_shared->worker;
    }
    m_shared->stop.request_stop();
    m_shared->wake.notify_one();
    // A result being handed over right now finishes first (unless this is
    // that very callback cancelling).
    if (worker != std::this_thread::get_id()) {
        std::lock_guard callback(m_shared->callbackMutex);
    }
}

void StreamingDecoder::run(const std::shared_ptr<Shared> &shared)
{
    Shared &s = *shared;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&s] {
            return s.cancelled || s.ending || s.window.size() >= s.decodedUpTo + s.options.partialEvery;
        });
        if (s.cancelled)
            return;
        // Nothing new, or only quiet, since the last decode: its text is the
        // final one and the stop costs no decode (the usual case, as people
        // stop speaking a moment before they stop the dictation).
        if (s.ending && s.decodedOnce && isQuiet(s.window, s.decodedUpTo, s.options.quietTailLevel)) {
            SpeechResult result{s.text(), true, {}, s.language};
            lock.unlock();
            s.deliver(std::move(result));
            return;
        }
        const bool final = s.ending;
        const std::vector<float> window = s.window;
        lock.unlock();
        DecodeOutcome outcome = s.decode(window, s.stop.get_token());
        lock.lock();
        if (s.cancelled)
            return;
        if (!outcome.error.isEmpty()) {
            SpeechResult result{s.text(), true, outcome.error, s.language};
            lock.unlock();
            s.deliver(std::move(result));
            return;
        }
        s.decodedOnce = true;
        s.decodedUpTo = window.size();
        s.windowText = joinSegments(outcome.segments);
        if (!outcome.language.isEmpty())
            s.language = outcome.language;
        // Only a decode that began after the audio ended is final: a partial
        // one may have missed the last words, and the loop decodes again.
        if (final) {
            SpeechResult result{s.text(), true, {}, s.language};
            lock.unlock();
            s.deliver(std::move(result));
            return;
        }
        if (window.size() > s.options.commitAfter) {
            const size_t settled = window.size() - s.options.keepTail;
            size_t cut = 0;
            QString open;
            bool settling = true;
            for (const auto &segment : outcome.segments) {
                settling = settling && segment.endSample <= settled;
                if (settling) {
                    s.committed = joined(s.committed, segment.text.trimmed());
                    cut = segment.endSample;
                } else {
                    open = joined(open, segment.text.trimmed());
                }
            }
            // A long window with no words at all is silence: drop it.
            if (outcome.segments.empty())
                cut = settled;
            else if (cut > 0)
                cut = quietPointNear(window, cut, settled);
            cut = std::min(cut, s.window.size());
            s.window.erase(s.window.begin(), s.window.begin() + static_cast<std::ptrdiff_t>(cut));
            s.decodedUpTo -= cut;
            s.windowText = open;
        }
        SpeechResult partial{s.text(), false, {}, s.language};
        lock.unlock();
        s.deliver(std::move(partial));
        lock.lock();
    }
}

} // namespace dravelin
