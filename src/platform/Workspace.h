#pragma once

#include <QString>

#include <optional>

namespace dravelin {

// The running applications as the desktop reports them.
class Workspace
{
public:
    virtual ~Workspace() = default;
    // The application id of the frontmost application, if known.
    virtual std::optional<QString> frontmostApplicationID() const = 0;
};

} // namespace dravelin
