#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

// The application with the keyboard focus.
struct FrontmostApplication
{
    QString applicationID; // WM_CLASS class on X11, lower-cased ("firefox", "org.gnome.terminal")
    qint64 pid = 0;        // 0 when unknown
    QString windowTitle;   // of its focused window; empty when unknown
};

// The running applications as the desktop reports them.
class Workspace
{
public:
    virtual ~Workspace() = default;
    virtual std::optional<FrontmostApplication> frontmostApplication() const { return std::nullopt; }
    // The application id of the frontmost application, if known.
    virtual std::optional<QString> frontmostApplicationID() const
    {
        const auto app = frontmostApplication();
        return app ? std::optional<QString>(app->applicationID) : std::nullopt;
    }
    // Brings a running application's windows forward; false when none runs.
    virtual bool activate(const QString &applicationID)
    {
        (void)applicationID;
        return false;
    }
    // A name to show for an application id.
    virtual QString displayName(const QString &applicationID) const
    {
        const qsizetype dot = applicationID.lastIndexOf(u'.');
        return dot < 0 ? applicationID : applicationID.mid(dot + 1);
    }
    // Opens a web page in the user's default browser without waiting for it;
    // false when no browser could be started.
    virtual bool openURL(const QUrl &url) = 0;
};

} // namespace dravelin
