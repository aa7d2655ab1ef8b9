#pragma once

#include <vector>

namespace dravelin {

// What the background of a stretch of 16 kHz audio sounds like, judged from
// its quietest 20 ms frames (the pauses between words).
struct BackgroundNoise
{
    double noiseRms = 0;   // the level of the pauses
    double speechRms = 0;  // the level of the loudest frames
    double steadiness = 0; // the quietest pause's level against the usual pause's: 1 is perfectly steady
    // Steady noise loud enough to cost words: hiss, a fan, an air conditioner.
    // Voices in the background are not steady and are left alone.
    bool worthSuppressing = false;
};

BackgroundNoise judgeBackground(const std::vector<float> &samples);

// The audio with its background noise turned down (speexdsp's noise
// suppressor, its estimate settled on the audio before it is applied).
// Takes a few milliseconds per second of audio.
std::vector<float> suppressNoise(const std::vector<float> &samples);

} // namespace dravelin
