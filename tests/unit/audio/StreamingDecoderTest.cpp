// The streaming session over a window decoder: partials as audio arrives,
// a final that reuses the last decode or decodes the rest, no queued-up work
// while a decode is slow, commits that keep long utterances' windows short
// and cut in pauses, never losing or repeating a word, errors and cancellation.

#include "platform/StreamingDecoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

constexpr size_t kSecond = 16000;

// Audio of "words": each second is 0.8 s of a level that names it, then
// 0.2 s of silence. The decoder reads every run of one level back as a
// segment (ending a little early, as real timestamps can), so its text names
// exactly the words it saw; a cut in the middle of a word would show up as a
// repeated word.
std::vector<float> seconds(size_t from, size_t count)
{
    std::vector<float> audio;
    for (size_t s = from; s < from + count; ++s) {
        audio.insert(audio.end(), kSecond * 8 / 10, static_cast<float>(s + 1) / 1000.0f);
        audio.insert(audio.end(), kSecond * 2 / 10, 0.0f);
    }
    return audio;
}

struct Recorder : std::enable_shared_from_this<Recorder>
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SpeechResult> results;
    std::vector<size_t> windows; // the length of every decoded window
    bool gateOpen = true;
    bool sawStop = false; // a decode was told to give up
    int entered = 0;      // decodes begun, finished or not
    QString failWith;

    DecodeOutcome decode(const std::vector<float> &window, std::stop_token stop)
    {
        std::stop_callback wake(stop, [this] {
            std::lock_guard guard(mutex);
            changed.notify_all();
        });
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return gateOpen || stop.stop_requested(); });
        if (stop.stop_requested()) {
            sawStop = true;
            changed.notify_all();
            return {};
        }
        windows.push_back(window.size());
        changed.notify_all();
        if (!failWith.isEmpty())
            return {{}, failWith, {}};
        DecodeOutcome outcome;
        for (size_t i = 0; i < window.size();) {
            size_t end = i;
            while (end < window.size() && window[end] == window[i])
                ++end;
            if (window[i] != 0.0f) // silence has no words
                // Timestamps a little early, as real ones can be.
                outcome.segments.push_back(
                    {i, std::max(i, end - kSecond / 4), QStringLiteral("s%1").arg(std::lround(window[i] * 1000) - 1)});
            i = end;
        }
        return outcome;
    }
    void onResult(SpeechResult result)
    {
        std::lock_guard lock(mutex);
        results.push_back(std::move(result));
        changed.notify_all();
    }
    template <typename Pred>
    bool waitFor(Pred pred)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return pred(); });
    }
    size_t decodes()
    {
        std::lock_guard lock(mutex);
        return windows.size();
    }
    // The test's words are faint (levels of 0.001 to 0.01); only zeros are quiet.
    std::unique_ptr<StreamingDecoder> session(StreamingDecoder::Options options = {.quietTailLevel = 0.0005})
    {
        // The worker may still be finishing after the session is gone.
        auto self = shared_from_this();
        return std::make_unique<StreamingDecoder>(
            [self](const std::vector<float> &w, std::stop_token stop) { return self->decode(w, stop); },
            [self](SpeechResult r) { self->onResult(std::move(r)); }, options);
    }
};

void feed(StreamingDecoder &session, const std::vector<float> &audio)
{
    session.append(audio.data(), audio.size());
}

} // namespace

TEST(StreamingDecoderTest, PartialsFollowTheAudioAndTheFinalReusesOrCompletesTheLastDecode)
{
    auto r = std::make_shared<Recorder>();
    auto session = r->session();
    feed(*session, seconds(0, 1));
    ASSERT_TRUE(r->waitFor([&] { return r->results.size() == 1; }));
    EXPECT_FALSE(r->results[0].isFinal);
    EXPECT_EQ(r->results[0].text, QStringLiteral("s0"));

    // Less than a partial interval of new audio: no decode until the end,
    // which then covers everything.
    auto half = seconds(1, 1);
    half.resize(kSecond / 2);
    feed(*session, half);
    session->endAudio();
    ASSERT_TRUE(r->waitFor([&] { return !r->results.empty() && r->results.back().isFinal; }));
    EXPECT_EQ(r->results.size(), 2u);
    EXPECT_EQ(r->windows.size(), 2u);
    EXPECT_EQ(r->windows.back(), kSecond + kSecond / 2);

    // Nothing new since the last decode: the final comes without decoding.
    auto q = std::make_shared<Recorder>();
    auto again = q->session();
    feed(*again, seconds(0, 2));
    ASSERT_TRUE(q->waitFor([&] { return q->results.size() == 1; }));
    again->endAudio();
    ASSERT_TRUE(q->waitFor([&] { return q->results.size() == 2; }));
    EXPECT_TRUE(q->results[1].isFinal);
    EXPECT_EQ(q->results[1].text, QStringLiteral("s0 s1"));
    EXPECT_EQ(q->decodes(), 1u);

    // Only silence since the last decode: no decode either.
    auto t = std::make_shared<Recorder>();
    auto trailing = t->session();
    feed(*trailing, seconds(0, 1));
    ASSERT_TRUE(t->waitFor([&] { return t->results.size() == 1; }));
    feed(*trailing, std::vector<float>(kSecond / 2, 0.0f));
    trailing->endAudio();
    ASSERT_TRUE(t->waitFor([&] { return t->results.size() == 2; }));
    EXPECT_EQ(t->results[1].text, QStringLiteral("s0"));
    EXPECT_EQ(t->decodes(), 1u);
}

TEST(StreamingDecoderTest, ASlowDecodeLetsAudioPileUpInsteadOfWork)
{
    auto r = std::make_shared<Recorder>();
    r->gateOpen = false;
    auto session = r->session();
    for (size_t s = 0; s < 6; ++s)
        feed(*session, seconds(s, 1)); // the first decode is stuck at the gate
    {
        std::lock_guard lock(r->mutex);
        r->gateOpen = true;
    }
    r->changed.notify_all();
    session->endAudio();
    ASSERT_TRUE(r->waitFor([&] { return !r->results.empty() && r->results.back().isFinal; }));
    EXPECT_EQ(r->results.back().text, QStringLiteral("s0 s1 s2 s3 s4 s5"));
    EXPECT_LE(r->windows.size(), 2u); // the stuck one, then one for everything else
}

TEST(StreamingDecoderTest, LongUtterancesCommitSettledWordsAndKeepEveryWordOnce)
{
    auto r = std::make_shared<Recorder>();
    StreamingDecoder::Options options;
    options.partialEvery = kSecond / 2;
    options.commitAfter = 4 * kSecond;
    options.keepTail = kSecond;
    auto session = r->session(options);
    QStringList expected;
    for (size_t s = 0; s < 12; ++s) {
        const size_t before = r->decodes();
        feed(*session, seconds(s, 1));
        ASSERT_TRUE(r->waitFor([&] { return r->windows.size() > before; }));
        expected << QStringLiteral("s%1").arg(s);
    }
    session->endAudio();
    ASSERT_TRUE(r->waitFor([&] { return !r->results.empty() && r->results.back().isFinal; }));
    EXPECT_EQ(r->results.back().text, expected.join(u' '));
    for (size_t window : r->windows)
        EXPECT_LE(window, options.commitAfter + 2 * kSecond);

    // A long stretch without words is dropped, not decoded again and again.
    auto quiet = std::make_shared<Recorder>();
    auto silent = quiet->session(options);
    std::vector<float> nothing(12 * kSecond, 0.0f);
    for (size_t i = 0; i < 12; ++i) {
        const size_t before = quiet->decodes();
        silent->append(nothing.data() + i * kSecond, kSecond);
        ASSERT_TRUE(quiet->waitFor([&] { return quiet->windows.size() > before; }));
    }
    for (size_t window : quiet->windows)
        EXPECT_LE(window, options.commitAfter + 2 * kSecond);
}

TEST(StreamingDecoderTest, AFailedDecodeEndsTheSessionAndCancelStopsCallbacks)
{
    auto r = std::make_shared<Recorder>();
    auto session = r->session();
    feed(*session, seconds(0, 1));
    ASSERT_TRUE(r->waitFor([&] { return r->results.size() == 1; }));
    {
        std::lock_guard lock(r->mutex);
        r->failWith = QStringLiteral("decoder broke");
    }
    feed(*session, seconds(1, 1));
    ASSERT_TRUE(r->waitFor([&] { return r->results.size() == 2; }));
    EXPECT_TRUE(r->results[1].isFinal);
    EXPECT_EQ(r->results[1].error, QStringLiteral("decoder broke"));
    EXPECT_EQ(r->results[1].text, QStringLiteral("s0")); // what was heard before
    session->endAudio();
    session.reset();
    EXPECT_EQ(r->results.size(), 2u);

    // Cancelled while a decode runs: the decode is told to stop, and nothing
    // is reported afterwards.
    auto c = std::make_shared<Recorder>();
    c->gateOpen = false;
    auto cancelled = c->session();
    feed(*cancelled, seconds(0, 2));
    ASSERT_TRUE(c->waitFor([&] { return c->entered == 1; }));
    cancelled->cancel();
    EXPECT_TRUE(c->waitFor([&] { return c->sawStop; }));
    EXPECT_TRUE(c->results.empty());
}
