#pragma once

#include "platform/AudioCapture.h"

#include <memory>

namespace dravelin::nix {

// Capture through the PulseAudio client API (PipeWire serves it too, through
// pipewire-pulse). Source names are the unique IDs; the server converts to
// 16 kHz mono float32 for us. Never autospawns a server. Thread-safe; its
// calls block (at most a few seconds when a server does not answer).
class PulseAudioBackend final : public AudioCaptureBackend
{
public:
    PulseAudioBackend();
    ~PulseAudioBackend() override;

    MicAuthorization authorization() override;
    QList<AudioInputInfo> inputDevices() override;
    std::optional<AudioInputInfo> defaultDevice() override;
    std::unique_ptr<AudioCaptureStream> open(const AudioInputInfo &device, QString &error) override;
    void watchDevices(std::function<void()> onChange) override;

    struct Connection;

private:
    std::shared_ptr<Connection> m_connection;
};

} // namespace dravelin::nix
