#include "audio/Levels.h"

#include <algorithm>
#include <cmath>

namespace dravelin::MicLevelScale {

double rms(const float *samples, size_t count)
{
    if (count == 0)
        return 0;
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

float normalized(const float *samples, size_t count)
{
    const double r = rms(samples, count);
    if (r <= 0)
        return 0;
    return static_cast<float>(std::clamp((20 * std::log10(r) + 50) / 50, 0.0, 1.0));
}

float normalized(const PcmBuffer &buffer)
{
    return normalized(buffer.samples.data(), buffer.samples.size());
}

float linear(const PcmBuffer &buffer)
{
    return static_cast<float>(std::clamp(rms(buffer.samples.data(), buffer.samples.size()) * 12, 0.0, 1.0));
}

float monitor(const float *samples, size_t count)
{
    const double r = std::max(rms(samples, count), 0.000001);
    return static_cast<float>(std::clamp((20 * std::log10(r) + 60) / 60, 0.0, 1.0));
}

} // namespace dravelin::MicLevelScale
