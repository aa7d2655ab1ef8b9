#include "platform/linux/XTestKeySynthesizer.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace dravelin::nix {

namespace {

// evdev key codes of the US layout, for layouts without a Latin V or C.
constexpr unsigned kControlL = 37;
constexpr unsigned kShiftL = 50;
constexpr unsigned kV = 55;
constexpr unsigned kC = 54;
constexpr unsigned kLeft = 113;
constexpr unsigned kRight = 114;
constexpr unsigned kInsert = 118;

} // namespace

X11Display::X11Display() : m_display(XOpenDisplay(nullptr)) {}

X11Display::~X11Display()
{
    if (m_display)
        XCloseDisplay(m_display);
}

XTestKeySynthesizer::XTestKeySynthesizer()
{
    int event = 0, error = 0, major = 0, minor = 0;
    m_available = m_display && XTestQueryExtension(m_display.get(), &event, &error, &major, &minor);
}

unsigned XTestKeySynthesizer::keycode(unsigned keysym, unsigned fallback) const
{
    const KeyCode code = XKeysymToKeycode(m_display.get(), keysym);
    return code ? code : fallback;
}

void XTestKeySynthesizer::key(unsigned code, bool down)
{
    XTestFakeKeyEvent(m_display.get(), code, down ? True : False, CurrentTime);
}

void XTestKeySynthesizer::flush()
{
    XFlush(m_display.get());
}

void XTestKeySynthesizer::chord(bool shift, unsigned letterKeysym, unsigned fallbackKeycode)
{
    if (!m_available)
        return;
    const unsigned control = keycode(XK_Control_L, kControlL);
    const unsigned shiftKey = keycode(XK_Shift_L, kShiftL);
    const unsigned letter = keycode(letterKeysym, fallbackKeycode);
    key(control, true);
    if (shift)
        key(shiftKey, true);
    key(letter, true);
    key(letter, false);
    if (shift)
        key(shiftKey, false);
    key(control, false);
    flush();
}

void XTestKeySynthesizer::postPaste(PasteKeys keys)
{
    if (keys != PasteKeys::shiftInsert) {
        chord(keys == PasteKeys::ctrlShiftV, XK_v, kV);
        return;
    }
    if (!m_available)
        return;
    const unsigned shiftKey = keycode(XK_Shift_L, kShiftL);
    const unsigned insert = keycode(XK_Insert, kInsert);
    key(shiftKey, true);
    key(insert, true);
    key(insert, false);
    key(shiftKey, false);
    flush();
}

void XTestKeySynthesizer::postCopy(bool terminal)
{
    chord(terminal, XK_c, kC);
}

void XTestKeySynthesizer::postSelectBackward(int count)
{
    if (!m_available || count < 1)
        return;
    const unsigned shiftKey = keycode(XK_Shift_L, kShiftL);
    const unsigned left = keycode(XK_Left, kLeft);
    key(shiftKey, true);
    for (int i = 0; i < count; ++i) {
        key(left, true);
        key(left, false);
    }
    key(shiftKey, false);
    flush();
}

void XTestKeySynthesizer::postCollapseSelection()
{
    if (!m_available)
        return;
    const unsigned right = keycode(XK_Right, kRight);
    key(right, true);
    key(right, false);
    flush();
}

bool XTestKeySynthesizer::modifiersHeld() const
{
    if (!m_display)
        return false;
    XkbStateRec state{};
    if (XkbGetState(m_display.get(), XkbUseCoreKbd, &state) != Success)
        return false;
    // Shift, Control, Mod1 (Alt) and Mod4 (Super); Lock and Mod2 (Num Lock) are not held keys.
    if ((state.base_mods & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask)) != 0)
        return true;
    // Any other key held counts too: the key of a global hotkey keeps the
    // keyboard grabbed by the hotkey's owner (us) until it is released, and
    // keystrokes sent before that go to the grab, not to the focused window.
    char keymap[32] = {};
    XQueryKeymap(m_display.get(), keymap);
    for (char byte : keymap) {
        if (byte != 0)
            return true;
    }
    return false;
}

} // namespace dravelin::nix
