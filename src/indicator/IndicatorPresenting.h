#pragma once

#include "core/Scheduler.h"
#include "indicator/IndicatorState.h"

#include <optional>

namespace dravelin {

// The floating indicator as the pipeline sees it.
class IndicatorPresenting
{
public:
    virtual ~IndicatorPresenting() = default;
    // Shows `state`; without `fadeAfter` the indicator's own default for that
    // state decides when it fades.
    virtual void present(const IndicatorState &state, std::optional<Millis> fadeAfter = std::nullopt) = 0;
    virtual void hide() = 0;
};

} // namespace dravelin
