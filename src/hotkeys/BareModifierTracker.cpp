#include "hotkeys/BareModifierTracker.h"

namespace dravelin {

void BareModifierTracker::setTarget(std::optional<BareModifier> target)
{
    m_target = target;
    m_heldKeys.clear();
}

BareModifierTracker::Change BareModifierTracker::keyEvent(quint16 keyCode, bool down)
{
    if (!m_target || bareModifier::from(keyCode) != m_target)
        return Change::none;

    const bool wasDown = !m_heldKeys.empty();
    if (down)
        m_heldKeys.insert(keyCode);
    else
        m_heldKeys.erase(keyCode);
    const bool isDown = !m_heldKeys.empty();

    if (wasDown == isDown)
        return Change::none;
    return isDown ? Change::pressed : Change::released;
}

} // namespace dravelin
