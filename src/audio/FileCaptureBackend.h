#pragma once

#include "platform/AudioCapture.h"

#include <vector>

namespace dravelin {

// A microphone that plays an audio file: its one input delivers the file's
// sound in 20 ms blocks at the pace of real time, then silence until stopped,
// like a microphone left open. For machines without a microphone, for
// demonstrations and for end-to-end tests.
class FileCaptureBackend final : public AudioCaptureBackend
{
public:
    // Any file FFmpeg reads (WAV, M4A, MP3…).
    explicit FileCaptureBackend(QString path);

    MicAuthorization authorization() override;
    QList<AudioInputInfo> inputDevices() override;
    std::optional<AudioInputInfo> defaultDevice() override;
    std::unique_ptr<AudioCaptureStream> open(const AudioInputInfo &device, QString &error) override;
    // The file's one input never comes or goes.
    void watchDevices(std::function<void()>) override {}

    // The file's length, once it decoded; 0 when it does not.
    qint64 durationMs();

private:
    bool decode(QString *error);

    QString m_path;
    std::vector<float> m_samples;
    bool m_decoded = false;
};

} // namespace dravelin
