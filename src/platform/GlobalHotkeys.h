#pragma once

#include <QtGlobal>

#include <functional>

namespace dravelin {

// System-wide key combinations, delivered with press and release wherever the
// keyboard focus is. Keys are the hardware-independent virtual key codes and
// modifier masks that bindings are stored in.
class GlobalHotkeyGrabber
{
public:
    enum class GrabStatus {
        ok,
        taken,          // another client already holds the combination
        unsupportedKey, // the keyboard has no such key
        unavailable,    // no display
    };

    virtual ~GlobalHotkeyGrabber() = default;

    virtual bool isAvailable() const = 0;
    // Grabs the combination under `id` (which events report). Grabbing an id
    // again replaces its combination.
    virtual GrabStatus grab(quint32 id, quint16 keyCode, quint32 modifiers) = 0;
    virtual void ungrab(quint32 id) = 0;

    // Called on the main thread for each press and each release of a grabbed
    // combination; a key held down reports one press, not its auto-repeat.
    std::function<void(quint32 id, bool pressed)> onHotkey;
};

// Every key going down or up anywhere on the desktop, observed but never
// swallowed (the application with the focus still receives it). Serves the
// gestures no grab can express: a modifier pressed alone, the Fn-role key.
class RawKeyEvents
{
public:
    virtual ~RawKeyEvents() = default;

    virtual bool isAvailable() const = 0;
    // Starts delivering; false when the desktop cannot report raw keys.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // Called on the main thread: virtual key code, down or up. Auto-repeat
    // arrives as further downs.
    std::function<void(quint16 keyCode, bool down)> onKey;
};

} // namespace dravelin
