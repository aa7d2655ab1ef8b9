#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

// The running applications as the desktop reports them.
class Workspace
{
public:
    virtual ~Workspace() = default;
    // The application id of the frontmost application, if known.
    virtual std::optional<QString> frontmostApplicationID() const = 0;
    // Opens a web page in the user's default browser without waiting for it;
    // false when no browser could be started.
    virtual bool openURL(const QUrl &url) = 0;
};

} // namespace dravelin
