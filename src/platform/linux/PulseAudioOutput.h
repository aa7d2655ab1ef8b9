#pragma once

#include "platform/AudioOutput.h"

namespace dravelin::nix {

// Plays through the default PulseAudio (or pipewire-pulse) sink, from a
// thread of its own, with about 50 ms of buffering so pause and stop take
// effect at once.
class PulseAudioOutput final : public AudioOutput
{
public:
    std::unique_ptr<AudioPlayback> load(std::vector<float> samples, int sampleRate, QString *error) override;
};

} // namespace dravelin::nix
