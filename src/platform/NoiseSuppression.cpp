#include "platform/NoiseSuppression.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

namespace dravelin {

namespace {

constexpr size_t kFrame = 320;       // 20 ms at 16 kHz, for judging
constexpr size_t kSpeexFrame = 160;  // 10 ms, for suppressing
constexpr size_t kFewestFrames = 25; // half a second
constexpr double kDigitalSilence = 1e-10;
constexpr double kQuietFloor = 0.002; // about -54 dBFS: a quiet room
constexpr double kCleanSnrDb = 30;    // a background this far below the speech costs no words
constexpr double kSteadyEnough = 0.5; // the pauses within 3 dB of each other
constexpr int kSuppressionDb = -30;

} // namespace

BackgroundNoise judgeBackground(const std::vector<float> &samples)
{
    BackgroundNoise result;
    // Frames of digital silence (padding, a muted stream) say nothing about
    // the room and are left out.
    const size_t frames = samples.size() / kFrame;
    std::vector<double> energies;
    energies.reserve(frames);
    for (size_t f = 0; f < frames; ++f) {
        double sum = 0;
        for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i)
            sum += static_cast<double>(samples[i]) * samples[i];
        if (sum / kFrame > kDigitalSilence)
            energies.push_back(sum / kFrame);
    }
    if (energies.size() < kFewestFrames)
        return result;
    std::sort(energies.begin(), energies.end());
    const auto at = [&energies](double share) {
        return energies[std::min(energies.size() - 1,
                                 static_cast<size_t>(share * static_cast<double>(energies.size())))];
    };
    // The pauses: the quietest tenth. Steady noise fills every pause at the
    // same level (the quietest frame within about a decibel of the tenth
    // percentile); voices in the background, or the tails of words in a quiet
    // room, spread the pauses over 5 dB and more.
    const double pause = at(0.1);
    result.noiseRms = std::sqrt(pause);
    result.speechRms = std::sqrt(at(0.9));
    result.steadiness = at(0.01) / pause;
    const double snrDb = 20 * std::log10(result.speechRms / result.noiseRms);
    result.worthSuppressing =
        result.noiseRms >= kQuietFloor && snrDb < kCleanSnrDb && result.steadiness >= kSteadyEnough;
    return result;
}

std::vector<float> suppressNoise(const std::vector<float> &samples)
{
    const std::unique_ptr<SpeexPreprocessState, void (*)(SpeexPreprocessState *)> state(
        speex_preprocess_state_init(kSpeexFrame, 16000), speex_preprocess_state_destroy);
    if (!state)
        return samples;
    int on = 1;
    int off = 0;
    int level = kSuppressionDb;
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl(state.get(), SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &level);

    const size_t frames = samples.size() / kSpeexFrame;
    std::vector<int16_t> pcm(frames * kSpeexFrame);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
    // The estimate first settles on the whole stretch, so that the first
    // words are not heard through noise the suppressor has not learnt yet.
    std::vector<int16_t> frame(kSpeexFrame);
    for (size_t f = 0; f < frames; ++f) {
        std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(f * kSpeexFrame), kSpeexFrame, frame.begin());
        speex_preprocess_estimate_update(state.get(), frame.data());
    }
    for (size_t f = 0; f < frames; ++f)
        speex_preprocess_run(state.get(), pcm.data() + f * kSpeexFrame);
    std::vector<float> out(samples.size());
    for (size_t i = 0; i < pcm.size(); ++i)
        out[i] = static_cast<float>(pcm[i]) / 32768.0f;
    // The last few milliseconds that do not fill a frame stay as they were.
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(pcm.size()), samples.end(),
              out.begin() + static_cast<std::ptrdiff_t>(pcm.size()));
    return out;
}

} // namespace dravelin
