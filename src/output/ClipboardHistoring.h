#pragma once

#include "output/ClipboardEntry.h"

namespace dravelin {

// The dictation history as the pipeline sees it.
class ClipboardHistoring
{
public:
    virtual ~ClipboardHistoring() = default;
    virtual int entryCount() const = 0;
    // The newest entry, if any.
    virtual std::optional<ClipboardEntry> latest() const = 0;
};

} // namespace dravelin
