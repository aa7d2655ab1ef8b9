#pragma once

#include "text/Cleanup.h"

#include <qcoro/qcorotask.h>

namespace dravelin {

// The transcript cleaner (backend or on-device) as the pipeline sees it.
class CleanupFormatting
{
public:
    virtual ~CleanupFormatting() = default;
    // Readies the cleaner ahead of use, without waiting for it.
    virtual void warmUp() = 0;
    virtual QCoro::Task<Expected<CleanupResponse, CleanupError>> cleanup(CleanupRequest request) = 0;
};

} // namespace dravelin
