#include "platform/linux/X11Hotkeys.h"

#include "core/Log.h"
#include "platform/linux/MacKeyCodes.h"
#include "platform/linux/XErrorTrap.h"

#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

namespace dravelin::nix {

namespace {

// X11 key codes are the Linux input codes plus 8.
constexpr int kXKeycodeOffset = 8;

// Binding modifiers: "command" is Control and "control" is Super on Linux.
unsigned xModifiers(quint32 modifiers)
{
    unsigned mask = 0;
    if (modifiers & 0x0100)
        mask |= ControlMask;
    if (modifiers & 0x0200)
        mask |= ShiftMask;
    if (modifiers & 0x0800)
        mask |= Mod1Mask;
    if (modifiers & 0x1000)
        mask |= Mod4Mask;
    return mask;
}

} // namespace

X11HotkeyGrabber::X11HotkeyGrabber(QObject *parent) : QObject(parent)
{
    Display *display = m_display.get();
    if (!display)
        return;
    XErrorTrap::installHandler();
    // Without this a held key repeats as release + press pairs.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display, True, &supported);
    m_numLockMask = XkbKeysymToModifiers(display, XK_Num_Lock);
    m_scrollLockMask = XkbKeysymToModifiers(display, XK_Scroll_Lock);
    m_notifier = new QSocketNotifier(ConnectionNumber(display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11HotkeyGrabber::readEvents);
}

X11HotkeyGrabber::~X11HotkeyGrabber()
{
    if (!m_display)
        return;
    XErrorTrap trap(m_display.get());
    for (const auto &[id, grab] : m_grabs)
        ungrabKey(grab);
}

std::vector<unsigned> X11HotkeyGrabber::lockVariants() const
{
    std::vector<unsigned> variants{0};
    for (unsigned lock : {static_cast<unsigned>(LockMask), m_numLockMask, m_scrollLockMask}) {
        if (lock == 0)
            continue;
        const size_t count = variants.size();
        for (size_t i = 0; i < count; ++i)
            variants.push_back(variants[i] | lock);
    }
    return variants;
}

GlobalHotkeyGrabber::GrabStatus X11HotkeyGrabber::grab(quint32 id, quint16 keyCode, quint32 modifiers)
{
    Display *display = m_display.get();
    if (!display)
        return GrabStatus::unavailable;
    ungrab(id);
    const auto evdev = evdevFromVirtualKey(keyCode);
    if (!evdev)
        return GrabStatus::unsupportedKey;
    const Grab wanted{static_cast<unsigned>(*evdev + kXKeycodeOffset), xModifiers(modifiers)};
    const Window root = DefaultRootWindow(display);
    XErrorTrap trap(display);
    for (unsigned variant : lockVariants())
        XGrabKey(display, static_cast<int>(wanted.keycode), wanted.modifiers | variant, root, False, GrabModeAsync,
                 GrabModeAsync);
    if (trap.sync() != 0) {
        // Some variants may have been granted before the refusal: give them back.
        ungrabKey(wanted);
        trap.sync();
        return GrabStatus::taken;
    }
    m_grabs[id] = wanted;
    return GrabStatus::ok;
}

void X11HotkeyGrabber::ungrab(quint32 id)
{
    const auto found = m_grabs.find(id);
    if (found == m_grabs.end())
        return;
    XErrorTrap trap(m_display.get());
    ungrabKey(found->second);
    m_grabs.erase(found);
    m_held.erase(id);
}

void X11HotkeyGrabber::ungrabKey(const Grab &grab)
{
    Display *display = m_display.get();
    for (unsigned variant : lockVariants())
        XUngrabKey(display, static_cast<int>(grab.keycode), grab.modifiers | variant, DefaultRootWindow(display));
    XFlush(display);
}

void X11HotkeyGrabber::readEvents()
{
    Display *display = m_display.get();
    const unsigned lockMask = LockMask | m_numLockMask | m_scrollLockMask;
    while (XPending(display) > 0) {
        XEvent event{};
        XNextEvent(display, &event);
        if (event.type != KeyPress && event.type != KeyRelease)
            continue;
        const unsigned keycode = event.xkey.keycode;
        const unsigned state = event.xkey.state & ~lockMask;
        for (const auto &[id, grab] : m_grabs) {
            if (grab.keycode != keycode)
                continue;
            if (event.type == KeyPress) {
                // A repeat of a held key is another press: report the first only.
                if (grab.modifiers != state || !m_held.insert(id).second)
                    continue;
                if (onHotkey)
                    onHotkey(id, true);
            } else {
                // The modifiers may be up already; the key's release ends the hotkey.
                if (m_held.erase(id) == 0)
                    continue;
                if (onHotkey)
                    onHotkey(id, false);
            }
            break;
        }
    }
}

XInputRawKeys::XInputRawKeys(QObject *parent) : QObject(parent)
{
    Display *display = m_display.get();
    if (!display)
        return;
    XErrorTrap::installHandler();
    int event = 0, error = 0, opcode = 0;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error))
        return;
    int major = 2, minor = 0;
    if (XIQueryVersion(display, &major, &minor) != Success)
        return;
    m_opcode = opcode;
    m_notifier = new QSocketNotifier(ConnectionNumber(display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XInputRawKeys::readEvents);
}

XInputRawKeys::~XInputRawKeys()
{
    stop();
}

void XInputRawKeys::select(bool on)
{
    Display *display = m_display.get();
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) {
        XISetMask(mask, XI_RawKeyPress);
        XISetMask(mask, XI_RawKeyRelease);
    }
    XIEventMask eventMask{};
    eventMask.deviceid = XIAllMasterDevices;
    eventMask.mask_len = sizeof mask;
    eventMask.mask = mask;
    XErrorTrap trap(display);
    XISelectEvents(display, DefaultRootWindow(display), &eventMask, 1);
    trap.sync();
}

bool XInputRawKeys::start()
{
    if (!isAvailable())
        return false;
    if (!m_running) {
        select(true);
        m_running = true;
    }
    return true;
}

void XInputRawKeys::stop()
{
    if (!m_running)
        return;
    select(false);
    m_running = false;
}

void XInputRawKeys::readEvents()
{
    Display *display = m_display.get();
    while (XPending(display) > 0) {
        XEvent event{};
        XNextEvent(display, &event);
        XGenericEventCookie *cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != m_opcode || !XGetEventData(display, cookie))
            continue;
        if (m_running && (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease)) {
            const auto *raw = static_cast<XIRawEvent *>(cookie->data);
            const auto key = virtualKeyFromEvdev(raw->detail - kXKeycodeOffset);
            if (key && onKey)
                onKey(*key, cookie->evtype == XI_RawKeyPress);
        }
        XFreeEventData(display, cookie);
    }
}

} // namespace dravelin::nix
