#pragma once

#include "platform/KeySynthesizer.h"
#include "platform/Pasteboard.h"

#include <QString>

#include <memory>

namespace dravelin::nix {

class WaylandSession;

enum class SessionType {
    x11,
    wayland
};

// Wayland when Qt itself runs on Wayland, or when only a Wayland display is
// there; X11 otherwise (an X11 session, or XWayland with Qt on xcb).
SessionType sessionTypeFor(const QString &qtPlatform, bool waylandDisplay, bool x11Display);
// The same for this process (its Qt platform and environment).
SessionType currentSessionType();

// How keystrokes and the clipboard reach other applications.
enum class KeysRoad {
    xtest,           // X11
    virtualKeyboard, // the compositor's virtual keyboard (wlroots-based compositors)
    none,            // nothing can paste for us: the text is shown to copy
};
enum class ClipboardRoad {
    qt,          // Qt's clipboard: X11, or Wayland while one of our windows has the focus
    dataControl, // the compositor's data-control interface, focus or not
};

// What the compositor or X server offers that the roads depend on.
struct DesktopOffers
{
    bool virtualKeyboard = false;
    bool dataControl = false;
    bool x11Display = false;
};

struct DesktopRoadChoice
{
    KeysRoad keys = KeysRoad::none;
    ClipboardRoad clipboard = ClipboardRoad::qt;
};

DesktopRoadChoice chooseRoads(SessionType session, const DesktopOffers &offers);
QString describe(SessionType session, const DesktopRoadChoice &choice);

// The keystroke and clipboard back ends for this desktop, chosen once at
// start-up; the Wayland connection they use lives here too.
struct DesktopRoads
{
    SessionType session = SessionType::x11;
    DesktopRoadChoice choice = {};
    std::unique_ptr<WaylandSession> wayland;
    std::unique_ptr<KeySynthesizer> keys;
    std::unique_ptr<Pasteboard> pasteboard;

    // Needs a QGuiApplication (the clipboard belongs to it).
    static DesktopRoads open();
    DesktopRoads();
    DesktopRoads(DesktopRoads &&) noexcept;
    DesktopRoads &operator=(DesktopRoads &&) noexcept;
    ~DesktopRoads();
};

} // namespace dravelin::nix
