#pragma once

#include "hotkeys/RecordingMode.h"

#include <QtGlobal>

#include <optional>
#include <set>

namespace dravelin {

// Turns the raw key events of the modifier keys into the press and release of
// one watched modifier pressed alone. Left and right keys of a modifier count
// as one: the modifier is down while either key is held.
class BareModifierTracker
{
public:
    enum class Change {
        none,
        pressed,
        released
    };

    // Starts watching another modifier (or nothing) and forgets every key
    // seen so far: a key already held is not reported, not even its release.
    void setTarget(std::optional<BareModifier> target);
    std::optional<BareModifier> target() const { return m_target; }

    // One physical key went down or up (virtual key code as in bindings).
    // Returns pressed when the first key of the watched modifier goes down,
    // released when the last one held goes up, and none for everything else:
    // other keys, key repeats of a held key, or no target.
    Change keyEvent(quint16 keyCode, bool down);

private:
    std::optional<BareModifier> m_target;
    std::set<quint16> m_heldKeys; // keys of the target that are down
};

} // namespace dravelin
