#pragma once

#include "platform/Workspace.h"
#include "platform/linux/X11Display.h"

namespace dravelin::nix {

// The X11 desktop: the active window from the window manager (EWMH), or the
// window with the input focus when no window manager runs; activation through
// the window manager; URLs through xdg-open.
class WaylandSession;

class DesktopWorkspace final : public Workspace
{
public:
    std::optional<FrontmostApplication> frontmostApplication() const override;
    bool activate(const QString &applicationID) override;
    QString displayName(const QString &applicationID) const override;
    bool openURL(const QUrl &url) override;

    // On Wayland the frontmost application is the compositor's active window
    // where it lists windows (wlroots-based compositors); `session` must
    // outlive this, or be taken back with nullptr first.
    void followWaylandWindows(WaylandSession *session) { m_wayland = session; }

private:
    X11Display m_display;
    WaylandSession *m_wayland = nullptr;
};

} // namespace dravelin::nix
