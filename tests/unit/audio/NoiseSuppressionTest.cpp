// Steady background noise is recognised and turned down before a decode;
// background voices, a quiet room and padding are not mistaken for it.

#include "platform/NoiseSuppression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace dravelin;

namespace {

constexpr size_t kRate = 16000;

// 0.4 s "words" (two tones that swell and fade) and 0.3 s pauses of
// digital silence, for `seconds`.
std::vector<float> words(double seconds)
{
    std::vector<float> audio(static_cast<size_t>(seconds * kRate), 0.0f);
    for (size_t i = 0; i < audio.size(); ++i) {
        const size_t inWord = i % (kRate * 7 / 10);
        if (inWord < kRate * 4 / 10) {
            const double t = static_cast<double>(i) / kRate;
            const double swell = std::sin(M_PI * static_cast<double>(inWord) / (kRate * 4.0 / 10));
            audio[i] =
                static_cast<float>(swell * (0.15 * std::sin(2 * M_PI * 300 * t) + 0.1 * std::sin(2 * M_PI * 1200 * t)));
        }
    }
    return audio;
}

// Adds noise at `rms`; with `wavering`, its level changes every 100 ms by up
// to ±8 dB, as voices in the background do.
void addNoise(std::vector<float> &audio, double rms, bool wavering = false)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> hiss(0.0, 1.0);
    std::uniform_real_distribution<double> swing(-8.0, 8.0);
    double level = rms;
    for (size_t i = 0; i < audio.size(); ++i) {
        if (wavering && i % (kRate / 10) == 0)
            level = rms * std::pow(10.0, swing(rng) / 20);
        audio[i] += static_cast<float>(level * hiss(rng));
    }
}

double rms(const std::vector<float> &audio, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(audio[i]) * audio[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(NoiseSuppressionTest, OnlySteadyNoiseLoudEnoughToCostWordsIsWorthSuppressing)
{
    auto hiss = words(4);
    addNoise(hiss, 0.02);
    EXPECT_TRUE(judgeBackground(hiss).worthSuppressing);

    // Padding with digital silence around it (as a decoder adds) changes nothing.
    std::vector<float> padded(kRate, 0.0f);
    padded.insert(padded.end(), hiss.begin(), hiss.end());
    padded.resize(padded.size() + kRate, 0.0f);
    EXPECT_TRUE(judgeBackground(padded).worthSuppressing);

    auto voices = words(4);
    addNoise(voices, 0.02, true);
    EXPECT_FALSE(judgeBackground(voices).worthSuppressing);

    auto quietRoom = words(4);
    addNoise(quietRoom, 0.0005);
    EXPECT_FALSE(judgeBackground(quietRoom).worthSuppressing);

    auto clean = words(4);
    EXPECT_FALSE(judgeBackground(clean).worthSuppressing);

    auto tooShort = words(0.4);
    addNoise(tooShort, 0.02);
    EXPECT_FALSE(judgeBackground(tooShort).worthSuppressing);
}

TEST(NoiseSuppressionTest, ThePausesGetQuieterAndTheWordsKeepTheirLevel)
{
    auto audio = words(4.01); // not a whole number of frames
    addNoise(audio, 0.02);
    const std::vector<float> quieter = suppressNoise(audio);
    ASSERT_EQ(quieter.size(), audio.size());
    // The pause after the third word (1.8-2.1 s), and the fifth word (2.8-3.2 s).
    const size_t pauseFrom = kRate * 185 / 100, pauseTo = kRate * 205 / 100;
    const size_t wordFrom = kRate * 285 / 100, wordTo = kRate * 315 / 100;
    EXPECT_LT(rms(quieter, pauseFrom, pauseTo), rms(audio, pauseFrom, pauseTo) / 5); // at least 14 dB
    EXPECT_GT(rms(quieter, wordFrom, wordTo), rms(audio, wordFrom, wordTo) / 2);     // within 6 dB
}

} // namespace
