// Long recordings decoded piece by piece: cuts in pauses that never split or
// repeat a word, the text before each piece carried as its context, and the
// guards for a piece that loops or comes back empty.

#include "platform/LongFormDecoding.h"

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

constexpr size_t kSecond = 16000;

// Each second is 0.6 s of a level naming word N ("wN"), loud enough to
// count as speech, then a 0.4 s pause.
std::vector<float> words(size_t count)
{
    std::vector<float> audio;
    for (size_t s = 0; s < count; ++s) {
        audio.insert(audio.end(), kSecond * 6 / 10, 0.1f + static_cast<float>(s + 1) / 10000.0f);
        audio.insert(audio.end(), kSecond * 4 / 10, 0.0f);
    }
    return audio;
}

// Reads every run of one level back as a segment, the way a decoder hears
// the words in a piece.
DecodeOutcome hear(const std::vector<float> &piece)
{
    DecodeOutcome outcome;
    outcome.language = QStringLiteral("en");
    for (size_t i = 0; i < piece.size();) {
        size_t end = i;
        while (end < piece.size() && piece[end] == piece[i])
            ++end;
        if (piece[i] != 0.0f) {
            const int word = static_cast<int>(std::lround((piece[i] - 0.1f) * 10000.0f));
            outcome.segments.push_back({i, end, QStringLiteral("w%1").arg(word)});
        }
        i = end;
    }
    return outcome;
}

struct Call
{
    size_t length;
    LongFormPiece how;
};

} // namespace

TEST(LongFormDecodingTest, PiecesAreCutInPausesAndCarryTheTextBeforeThem)
{
    const std::vector<float> audio = words(100);
    std::vector<Call> calls;
    const PieceDecode decode = [&calls](const std::vector<float> &piece, const LongFormPiece &how, std::stop_token) {
        calls.push_back({piece.size(), how});
        return hear(piece);
    };
    LongFormOptions options;
    options.contextChars = 12;
    const DecodeOutcome outcome = decodeLongForm(audio, decode, {}, options);

    QStringList expected;
    for (int w = 1; w <= 100; ++w)
        expected << QStringLiteral("w%1").arg(w);
    EXPECT_EQ(joinSegments(outcome.segments), expected.join(u' ')); // every word once, in order
    EXPECT_EQ(outcome.language, u"en");
    ASSERT_EQ(calls.size(), 4u);
    size_t start = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_LE(calls[i].length, options.window);
        EXPECT_FALSE(calls[i].how.retry);
        // The piece's segment lies where its words are in the whole audio.
        EXPECT_GE(outcome.segments[i].startSample, start);
        start += calls[i].length;
        EXPECT_LE(outcome.segments[i].endSample, start);
    }
    EXPECT_TRUE(calls[0].how.context.isEmpty());
    EXPECT_EQ(calls[1].how.context, u"w26 w27 w28"); // the end of what came before, from a word on
    EXPECT_EQ(calls[1].how.language, u"en");

    // Audio that fits in one window goes through untouched.
    calls.clear();
    const std::vector<float> short_ = words(5);
    EXPECT_EQ(decodeLongForm(short_, decode, {}).segments.size(), 5u);
    EXPECT_EQ(calls.size(), 1u);
}

TEST(LongFormDecodingTest, ALoopOrNothingFromSpeechIsDecodedAgainAndALoopThatStaysIsCut)
{
    const std::vector<float> audio = words(120); // five pieces
    std::vector<Call> calls;
    int pieces = 0;
    QString lastOfFourth;
    const PieceDecode decode = [&](const std::vector<float> &piece, const LongFormPiece &how, std::stop_token) {
        calls.push_back({piece.size(), how});
        pieces += how.retry ? 0 : 1;
        DecodeOutcome outcome = hear(piece);
        const auto loop = [&outcome, &piece] {
            outcome.segments.push_back(
                {piece.size() - 1, piece.size(), QStringLiteral("and so on, and so on, and so on. And so on")});
        };
        if (pieces == 2 && !how.retry) { // loops the first time only
            loop();
        } else if (pieces == 3 && !how.retry) { // nothing the first time
            outcome.segments.clear();
        } else if (pieces == 4) { // loops both times
            lastOfFourth = outcome.segments.back().text;
            loop();
        } else if (pieces == 5) {
            outcome.error = QStringLiteral("decoder failed");
        }
        return outcome;
    };
    const DecodeOutcome outcome = decodeLongForm(audio, decode, {});

    ASSERT_EQ(calls.size(), 8u);
    EXPECT_TRUE(calls[2].how.retry);
    EXPECT_TRUE(calls[2].how.context.isEmpty()); // a loop is retried without the carried text
    EXPECT_FALSE(calls[3].how.context.isEmpty());
    EXPECT_TRUE(calls[4].how.retry);             // the empty piece
    EXPECT_TRUE(calls[7].how.context.isEmpty()); // the text after a loop that stayed is not carried on
    EXPECT_EQ(outcome.error, u"decoder failed");
    // Every word before the failed piece once, the loop that stayed cut to one.
    QStringList expected;
    for (int w = 1; w <= lastOfFourth.mid(1).toInt(); ++w)
        expected << QStringLiteral("w%1").arg(w);
    EXPECT_EQ(joinSegments(outcome.segments), expected.join(u' ') + QStringLiteral(" and so on,"));
}

TEST(LongFormDecodingTest, OnlyRepeatsBeyondWhatSpeechDoesAreCut)
{
    bool looped = true;
    EXPECT_EQ(collapseRepeats(QStringLiteral("No, no, no. I said no."), &looped), u"No, no, no. I said no.");
    EXPECT_FALSE(looped);
    EXPECT_EQ(collapseRepeats(QStringLiteral("Very very good. Thank you, thank you.")),
              u"Very very good. Thank you, thank you.");
    EXPECT_EQ(collapseRepeats(QStringLiteral("Thank you. Thank you. Thank you. Thank you. Thank you. Bye"), &looped),
              u"Thank you. Bye");
    EXPECT_TRUE(looped);
    EXPECT_EQ(collapseRepeats(QStringLiteral("we will see we will see WE WILL SEE! then")), u"we will see then");
}
