#pragma once

#include "audio/Pcm.h"

#include <mutex>
#include <optional>

namespace dravelin {

// The level scales. All start from the root mean square of the samples and
// return a value in [0, 1].
namespace MicLevelScale {
double rms(const float *samples, size_t count);
// (20·log10(RMS) + 50) / 50: -50 dBFS and below is 0, 0 dBFS is 1. The
// recorders' waveform and the level meter use it.
float normalized(const PcmBuffer &buffer);
float normalized(const float *samples, size_t count);
// RMS × 12: the on-device and live engines' level.
float linear(const PcmBuffer &buffer);
// (20·log10(max(RMS, 1e-6)) + 60) / 60: the microphone settings' monitor.
float monitor(const float *samples, size_t count);
} // namespace MicLevelScale

// Lets a level through only when `interval` has passed since the last one it
// let through. Thread-safe (capture threads ask, at any rate).
class LevelThrottle
{
public:
    explicit LevelThrottle(double intervalSeconds) : m_interval(intervalSeconds) {}

    // `nowSeconds` is any monotonic time.
    bool shouldPublish(double nowSeconds)
    {
        std::lock_guard lock(m_mutex);
        if (m_lastPublish && nowSeconds - *m_lastPublish < m_interval)
            return false;
        m_lastPublish = nowSeconds;
        return true;
    }

private:
    double m_interval;
    std::mutex m_mutex;
    std::optional<double> m_lastPublish;
};

} // namespace dravelin
