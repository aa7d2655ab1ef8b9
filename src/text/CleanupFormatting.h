#pragma once

namespace dravelin {

// The transcript cleaner (backend or on-device) as the pipeline sees it.
class CleanupFormatting
{
public:
    virtual ~CleanupFormatting() = default;
    // Readies the cleaner ahead of use, without waiting for it.
    virtual void warmUp() = 0;
};

} // namespace dravelin
