// How well Whisper hears: a held-out set of sentences spoken by espeak-ng in
// two voices (clean, and with white noise mixed in) and a recording of a
// person, scored by word error rate; silence and a low noise floor give no
// text; a 30-second utterance and a three-minute call come back whole.

#include "audio/AACFileWriter.h"
#include "platform/LongFormDecoding.h"
#include "platform/linux/WhisperRecognizer.h"
#include "support/Speech.h"
#include "support/WordErrorRate.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using namespace dravelin;

namespace {

const QStringList &kSentences = test::heldOutSentences();

std::vector<float> speak(QTemporaryDir &dir, const QString &text, const QString &voice, int wpm = 150)
{
    return test::speakSamples(dir.filePath(QStringLiteral("s.wav")), text, voice, wpm);
}

class WhisperAccuracyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!recognizer.isAvailable())
            GTEST_SKIP() << "no Whisper model at " << qPrintable(nix::WhisperRecognizer::defaultModelPath());
    }
    QTemporaryDir dir;
    nix::WhisperRecognizer recognizer;
};

TEST_F(WhisperAccuracyTest, HeldOutSentencesInTwoVoicesStayUnderTheErrorBudget)
{
    int errors = 0;
    int words = 0;
    for (const QString &voice : {QStringLiteral("en-us"), QStringLiteral("en-gb-x-rp")}) {
        for (const QString &sentence : kSentences) {
            const SpeechResult result = recognizer.transcribe(speak(dir, sentence, voice));
            ASSERT_TRUE(result.error.isEmpty()) << qPrintable(result.error);
            const int e = test::wordErrors(sentence, result.text);
            errors += e;
            words += test::wordCount(sentence);
            if (e > 0)
                std::printf("  [%s] %s\n      → %s\n", qPrintable(voice), qPrintable(sentence),
                            qPrintable(result.text));
        }
    }
    const double wer = static_cast<double>(errors) / words;
    std::printf("Whisper tiny.en WER on %d words: %.1f%%\n", words, wer * 100);
    EXPECT_LE(wer, 0.15); // measured ≈ see docs/benchmarks.md; synthetic voices are harder than people
}

// White noise mixed in at test time, the same noise per sentence on every run.
TEST_F(WhisperAccuracyTest, HeldOutSentencesInWhiteNoiseStayUnderTheirErrorBudgets)
{
    std::vector<std::pair<QString, std::vector<float>>> clean;
    for (const QString &voice : {QStringLiteral("en-us"), QStringLiteral("en-gb-x-rp")}) {
        for (const QString &sentence : kSentences)
            clean.emplace_back(sentence, speak(dir, sentence, voice));
    }
    const struct
    {
        double snrDb;
        double budget;
    } levels[] = {{20, 0.21}, {10, 0.28}}; // tiny.en measured 15.8 % and 22.6 % (without suppression 24.0 and 33.6)
    for (const auto &level : levels) {
        int errors = 0;
        int words = 0;
        for (size_t i = 0; i < clean.size(); ++i) {
            const auto &[sentence, samples] = clean[i];
            const auto noisy = test::mixNoise(samples, level.snrDb, test::Noise::White, static_cast<unsigned>(i + 1));
            const SpeechResult result = recognizer.transcribe(noisy);
            ASSERT_TRUE(result.error.isEmpty()) << qPrintable(result.error);
            errors += test::wordErrors(sentence, result.text);
            words += test::wordCount(sentence);
        }
        const double wer = static_cast<double>(errors) / words;
        std::printf("white noise at %.0f dB SNR: WER %.1f%% on %d words\n", level.snrDb, wer * 100, words);
        EXPECT_LE(wer, level.budget) << level.snrDb << " dB";
    }
}

TEST_F(WhisperAccuracyTest, ARecordedPersonComesBackNearlyWordForWord)
{
    const test::HumanSpeech human = test::humanSpeech();
    if (human.samples.empty())
        GTEST_SKIP() << "no human speech sample (run scripts/setup-whisper)";
    const SpeechResult result = recognizer.transcribe(human.samples);
    const int errors = test::wordErrors(human.text, result.text);
    std::printf("human speech: %d errors in %d words: %s\n", errors, test::wordCount(human.text),
                qPrintable(result.text));
    EXPECT_LE(errors, 2) << qPrintable(result.text);
}

TEST_F(WhisperAccuracyTest, TheVocabularyTeachesItWordsItCannotKnow)
{
    const auto audio = speak(dir, QStringLiteral("Send the file to Dravelin tomorrow."), QStringLiteral("en-us"));
    const QString plain = recognizer.transcribe(audio).text;
    const QString hinted = recognizer.transcribe(audio, QStringList{QStringLiteral("Dravelin")}).text;
    std::printf("without vocabulary: %s\nwith it: %s\n", qPrintable(plain), qPrintable(hinted));
    EXPECT_FALSE(plain.contains(QStringLiteral("Dravelin"))); // otherwise this proves nothing
    EXPECT_TRUE(hinted.contains(QStringLiteral("Dravelin")));
}

TEST_F(WhisperAccuracyTest, SilenceAndNoiseGiveNoTextAndLongSpeechComesBackWhole)
{
    EXPECT_TRUE(recognizer.transcribe(std::vector<float>(16000 * 3, 0.0f)).text.isEmpty());
    std::mt19937 rng(7);
    std::normal_distribution<float> hiss(0.0f, 0.002f);
    std::vector<float> noise(16000 * 3);
    for (float &s : noise)
        s = hiss(rng);
    EXPECT_TRUE(recognizer.transcribe(noise).text.isEmpty()) << qPrintable(recognizer.transcribe(noise).text);

    // About thirty seconds: every sentence once, slowly.
    const QString all = kSentences.join(u' ');
    const std::vector<float> long_ = speak(dir, all, QStringLiteral("en-us"), 120);
    ASSERT_GT(long_.size(), 16000u * 25);
    const SpeechResult result = recognizer.transcribe(long_);
    const double wer = static_cast<double>(test::wordErrors(all, result.text)) / test::wordCount(all);
    EXPECT_LE(wer, 0.2) << qPrintable(result.text);
    EXPECT_TRUE(test::normalisedWords(result.text).contains(QStringLiteral("seven")))
        << qPrintable(result.text); // the end

    // Three and a half minutes, decoded in pieces: every part of it comes
    // back, in ordinary case, without a phrase looping.
    const QString call = test::longFormText();
    const std::vector<float> minutes = speak(dir, call, QStringLiteral("en-us"), 150);
    ASSERT_GT(minutes.size(), 16000u * 180);
    const SpeechResult heard = recognizer.transcribe(minutes);
    const double callWer = static_cast<double>(test::wordErrors(call, heard.text)) / test::wordCount(call);
    std::printf("long-form WER %.1f%%\n", callWer * 100);
    EXPECT_LE(callWer, 0.15) << qPrintable(heard.text);
    bool looped = false;
    collapseRepeats(heard.text, &looped);
    EXPECT_FALSE(looped) << qPrintable(heard.text);
    const auto capitals = std::count_if(heard.text.begin(), heard.text.end(), [](QChar c) { return c.isUpper(); });
    EXPECT_LT(capitals, heard.text.size() / 15) << qPrintable(heard.text);
    EXPECT_TRUE(heard.text.contains(QStringLiteral("storage work"))) << qPrintable(heard.text); // the last sentence
}

} // namespace

// With a multilingual model (`dravelin-model install base`), a German sentence
// comes back in German when the language is left to the model, and an
// English-only model says English whatever it is asked.
TEST(WhisperLanguageTest, AMultilingualModelHearsTheLanguageSpoken)
{
    QTemporaryDir dir;
    nix::WhisperRecognizer english;
    if (english.isAvailable() && !english.isMultilingual()) {
        const auto audio = speak(dir, QStringLiteral("Good morning to you."), QStringLiteral("en-us"));
        EXPECT_EQ(english.transcribe(audio, RecognitionHints({}, QStringLiteral("de"))).language, u"en");
    }
    nix::WhisperRecognizer base(nix::WhisperRecognizer::modelPath(QStringLiteral("base")));
    if (!base.isAvailable() || !base.isMultilingual())
        GTEST_SKIP() << "no multilingual model installed (dravelin-model install base)";
    const auto german =
        speak(dir, QStringLiteral("Guten Morgen, ich möchte heute einen Termin beim Arzt."), QStringLiteral("de"));
    const SpeechResult heard = base.transcribe(german, RecognitionHints({}, QStringLiteral("auto")));
    std::printf("auto: [%s] %s\n", qPrintable(heard.language), qPrintable(heard.text));
    EXPECT_EQ(heard.language, u"de");
    EXPECT_TRUE(heard.text.contains(QStringLiteral("Guten Morgen"))) << qPrintable(heard.text);
    EXPECT_TRUE(heard.text.contains(QStringLiteral("Termin"))) << qPrintable(heard.text);
}
