#include "platform/StreamingDecoder.h"

#include <algorithm>

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

StreamingDecoder::StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult)
    : StreamingDecoder(std::move(decode), std::move(onResult), Options{})
{}

StreamingDecoder::StreamingDecoder(Decode decode, std::function<void(SpeechResult)> onResult, Options options)
    : m_decode(std::move(decode))
    , m_onResult(std::move(onResult))
    , m_options(options)
{
    m_worker = std::thread([this] { run(); });
}

StreamingDecoder::~StreamingDecoder()
{
    cancel();
}

void StreamingDecoder::append(const float *samples, size_t count)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_ending || m_cancelled)
            return;
        m_window.insert(m_window.end(), samples, samples + count);
    }
    m_wake.notify_one();
}

void StreamingDecoder::endAudio()
{
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_one();
}

void StreamingDecoder::cancel()
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_wake.notify_one();
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
        m_worker.join();
}

QString StreamingDecoder::textLocked() const
{
    return joined(m_committed, m_windowText);
}

void StreamingDecoder::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] {
            return m_cancelled || m_ending || m_window.size() >= m_decodedUpTo + m_options.partialEvery;
        });
        if (m_cancelled)
            return;
        if (m_ending && m_decodedOnce && m_window.size() == m_decodedUpTo) {
            SpeechResult result{textLocked(), true, {}};
            lock.unlock();
            m_onResult(std::move(result));
            return;
        }
        const bool final = m_ending;
        const std::vector<float> window = m_window;
        lock.unlock();
        DecodeOutcome outcome = m_decode(window);
        lock.lock();
        if (m_cancelled)
            return;
        if (!outcome.error.isEmpty()) {
            SpeechResult result{textLocked(), true, outcome.error};
            lock.unlock();
            m_onResult(std::move(result));
            return;
        }
        m_decodedOnce = true;
        m_decodedUpTo = window.size();
        m_windowText = joinSegments(outcome.segments);
        // Only a decode that began after the audio ended is final: a partial
        // one may have missed the last words, and the loop decodes again.
        if (final) {
            SpeechResult result{textLocked(), true, {}};
            lock.unlock();
            m_onResult(std::move(result));
            return;
        }
        if (window.size() > m_options.commitAfter) {
            const size_t settled = window.size() - m_options.keepTail;
            size_t cut = 0;
            QString open;
            bool settling = true;
            for (const auto &segment : outcome.segments) {
                settling = settling && segment.endSample <= settled;
                if (settling) {
                    m_committed = joined(m_committed, segment.text.trimmed());
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
            cut = std::min(cut, m_window.size());
            m_window.erase(m_window.begin(), m_window.begin() + static_cast<std::ptrdiff_t>(cut));
            m_decodedUpTo -= cut;
            m_windowText = open;
        }
        SpeechResult partial{textLocked(), false, {}};
        lock.unlock();
        m_onResult(std::move(partial));
        lock.lock();
    }
}

} // namespace dravelin
