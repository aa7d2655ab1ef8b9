#pragma once

#include <QByteArray>

#include <mutex>
#include <vector>

namespace dravelin {

// One block of captured audio as consumers receive it: 32-bit float samples,
// 16 kHz, mono.
struct PcmBuffer
{
    static constexpr int kSampleRate = 16000;
    std::vector<float> samples;

    qint64 durationMs() const { return static_cast<qint64>(samples.size()) * 1000 / kSampleRate; }
};

// 16-bit signed little-endian PCM ("linear16") of float samples: each sample
// clamped to [-1, 1], scaled by 32767 and truncated toward zero.
QByteArray pcm16(const PcmBuffer &buffer);
QByteArray pcm16(const float *samples, size_t count);

// A canonical 44-byte RIFF/WAVE header (PCM, mono, 16-bit) followed by the data.
namespace WAVWrapper {
QByteArray wrap(const QByteArray &pcm16, int sampleRate);
} // namespace WAVWrapper

// A growing buffer of 16-bit PCM shared between the capture thread (appends)
// and the main thread (reads).
class PCMSink
{
public:
    void append(const QByteArray &bytes)
    {
        std::lock_guard lock(m_mutex);
        m_data += bytes;
    }
    QByteArray data() const
    {
        std::lock_guard lock(m_mutex);
        return m_data;
    }

private:
    mutable std::mutex m_mutex;
    QByteArray m_data;
};

} // namespace dravelin
