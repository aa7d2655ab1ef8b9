#pragma once

#include <QString>

namespace dravelin {

struct TimeFormatting
{
    // A duration rounded to whole seconds, in its two largest units: "45s",
    // "2m", "2m 5s", "1h", "1h 30m", "2d", "2d 3h" (a unit that is 0 after
    // the first is left out). Negative durations read as 0s.
    static QString timeSaved(double seconds);
};

} // namespace dravelin
