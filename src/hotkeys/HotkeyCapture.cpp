#include "hotkeys/HotkeyCapture.h"

namespace dravelin {

quint64 eventFlag::of(quint16 keyCode)
{
    switch (keyCode) {
    case keycode::rightCommand:
    case keycode::command:
        return eventFlag::command;
    case keycode::shift:
    case keycode::rightShift:
        return eventFlag::shift;
    case keycode::option:
    case keycode::rightOption:
        return eventFlag::option;
    case keycode::control:
    case keycode::rightControl:
        return eventFlag::control;
    case keycode::function:
        return eventFlag::function;
    default:
        return 0;
    }
}

namespace {

constexpr quint64 kAnyModifierFlag =
    eventFlag::command | eventFlag::shift | eventFlag::option | eventFlag::control | eventFlag::function;

} // namespace

HotkeyCapture::HotkeyCapture(bool allowsBareModifier, HotkeyBinding initial)
    : m_allowsBareModifier(allowsBareModifier)
    , m_binding(initial)
{}

quint32 HotkeyCapture::modifierMask(quint64 flags)
{
    flags &= eventFlag::deviceIndependentMask;
    quint32 mask = 0;
    if (flags & eventFlag::command)
        mask |= modifier::command;
    if (flags & eventFlag::shift)
        mask |= modifier::shift;
    if (flags & eventFlag::option)
        mask |= modifier::option;
    if (flags & eventFlag::control)
        mask |= modifier::control;
    return mask;
}

bool HotkeyCapture::keyDown(quint16 keyCode, quint64 flags)
{
    const quint32 mask = modifierMask(flags);
    if (keyCode == keycode::escape && mask == 0) {
        m_binding = HotkeyBinding{keycode::none, 0};
        m_state.reset();
        return true;
    }
    if (m_state.sawKeyDown)
        m_state.reset();
    const bool isModifier = HotkeyBinding::isModifierKeyCode(keyCode);
    const bool regularKey = !isModifier && keyCode != keycode::capsLock;
    const bool loneModifierKey = isModifier && m_state.accumulated == 0 && mask == 0;
    if (!regularKey && !loneModifierKey)
        return false;
    m_state.sawKeyDown = true;
    m_binding = HotkeyBinding{keyCode, m_state.accumulated | mask};
    return true;
}

bool HotkeyCapture::flagsChanged(quint16 keyCode, quint64 flags)
{
    if (!HotkeyBinding::isModifierKeyCode(keyCode))
        return false;
    flags &= eventFlag::deviceIndependentMask;
    const bool down = (flags & eventFlag::of(keyCode)) != 0;
    if (m_state.sawKeyDown) {
        if (!down)
            return true; // the tail of a completed shortcut
        m_state.reset();
    }
    if (down) {
        press(keyCode, modifierMask(flags));
        return true;
    }
    if (flags & kAnyModifierFlag) {
        show();
        return true;
    }
    if (m_allowsBareModifier && m_state.pressedMods.size() == 1)
        m_binding = HotkeyBinding{m_state.lastBareVkey, 0};
    else
        m_binding = HotkeyBinding{keycode::none, m_state.accumulated};
    return true;
}

void HotkeyCapture::fnChanged(bool down)
{
    if (m_state.sawKeyDown) {
        if (!down)
            return;
        m_state.reset();
    }
    if (!down)
        return;
    m_state.pressedMods.insert(BareModifier::fn);
    m_state.lastBareVkey = keycode::function;
    if (m_allowsBareModifier && m_state.pressedMods == std::set{BareModifier::fn} && m_state.accumulated == 0)
        m_binding = HotkeyBinding{keycode::function, 0};
    else if (m_state.accumulated != 0)
        m_binding = HotkeyBinding{keycode::none, m_state.accumulated};
}

void HotkeyCapture::press(quint16 keyCode, quint32 mask)
{
    if (auto bare = bareModifier::from(keyCode))
        m_state.pressedMods.insert(*bare);
    m_state.lastBareVkey = keyCode;
    m_state.accumulated |= mask;
    show();
}

void HotkeyCapture::show()
{
    if (m_state.accumulated != 0)
        m_binding = HotkeyBinding{keycode::none, m_state.accumulated};
    else if (m_allowsBareModifier && m_state.pressedMods.size() == 1)
        m_binding = HotkeyBinding{m_state.lastBareVkey, 0};
}

} // namespace dravelin
