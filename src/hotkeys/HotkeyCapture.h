#pragma once

#include "hotkeys/HotkeyBinding.h"
#include "hotkeys/RecordingMode.h"

#include <set>

namespace dravelin {

// Modifier flags as key events carry them (device-independent bits).
namespace eventFlag {
inline constexpr quint64 shift = 0x20000;
inline constexpr quint64 control = 0x40000;
inline constexpr quint64 option = 0x80000;
inline constexpr quint64 command = 0x100000;
inline constexpr quint64 function = 0x800000;
inline constexpr quint64 deviceIndependentMask = 0xFFFF0000;
// The flag that is set while the given modifier key is down (0 for other keys).
quint64 of(quint16 keyCode);
} // namespace eventFlag

// What the shortcut recorder has seen of the current gesture.
struct HotkeyCaptureState
{
    quint32 accumulated = 0;            // modifier mask of every modifier seen
    std::set<BareModifier> pressedMods; // modifier keys pressed in the gesture
    quint16 lastBareVkey = 0;           // the last modifier key pressed
    bool sawKeyDown = false;            // a regular key completed the gesture

    void reset() { *this = HotkeyCaptureState{}; }
};

// The shortcut recorder's logic: fed key-down, modifier-change and Fn events
// while it listens, it turns a gesture into a draft binding. Pressing and
// releasing one modifier captures it alone where that is allowed; held
// modifiers show on their own until a regular key completes the shortcut.
class HotkeyCapture
{
public:
    explicit HotkeyCapture(bool allowsBareModifier, HotkeyBinding initial = {});

    // Each returns true when the event was consumed (false: it passes on to
    // the application). `flags` are the event's raw modifier flags.
    bool keyDown(quint16 keyCode, quint64 flags);
    bool flagsChanged(quint16 keyCode, quint64 flags);
    // The Fn key went down or up (reported by the modifier listeners).
    void fnChanged(bool down);

    const HotkeyBinding &binding() const { return m_binding; }
    const HotkeyCaptureState &state() const { return m_state; }

    // The binding modifier mask of event flags.
    static quint32 modifierMask(quint64 flags);

private:
    void press(quint16 keyCode, quint32 mask);
    void show();

    bool m_allowsBareModifier;
    HotkeyBinding m_binding;
    HotkeyCaptureState m_state;
};

} // namespace dravelin
