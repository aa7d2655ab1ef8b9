#pragma once

#include <memory>

struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace dravelin::nix {

// One Xlib connection to $DISPLAY, or none when there is no X server.
class X11Display
{
public:
    X11Display();
    ~X11Display();
    X11Display(const X11Display &) = delete;
    X11Display &operator=(const X11Display &) = delete;

    _XDisplay *get() const { return m_display; }
    explicit operator bool() const { return m_display != nullptr; }

private:
    _XDisplay *m_display = nullptr;
};

} // namespace dravelin::nix
