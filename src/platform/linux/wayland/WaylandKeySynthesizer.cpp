#include "platform/linux/wayland/WaylandKeySynthesizer.h"

#include "core/Log.h"
#include "platform/linux/wayland/WaylandSession.h"

#include <virtual-keyboard-unstable-v1-client.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstring>
#include <linux/input-event-codes.h>
#include <memory>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace dravelin::nix {

namespace {

template <auto Free>
struct Deleter
{
    template <typename T>
    void operator()(T *p) const
    {
        Free(p);
    }
};
using Context = std::unique_ptr<xkb_context, Deleter<xkb_context_unref>>;
using Keymap = std::unique_ptr<xkb_keymap, Deleter<xkb_keymap_unref>>;

// Key times on the clock real keyboards use, so ours never run backwards
// next to theirs.
uint32_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

uint32_t maskOf(xkb_keymap *keymap, const char *modifier)
{
    const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, modifier);
    return index == XKB_MOD_INVALID ? 0 : 1u << index;
}

} // namespace

WaylandKeySynthesizer::WaylandKeySynthesizer(WaylandSession &session) : m_session(session)
{
    if (!session.virtualKeyboards() || !session.seat())
        return;
    // A plain US keymap: only the shortcut keys are sent, and every layout has
    // them at these positions. Applications switch to it for our keystrokes
    // and back when the user types again.
    const Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    const Keymap keymap(context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS)
                                : nullptr);
    if (!keymap) {
        logs::error(logs::paste(), QStringLiteral("Wayland virtual keyboard: no keymap could be compiled (is "
                                                  "xkb-data installed?) — pasting by keystroke is off"));
        return;
    }
    m_control = maskOf(keymap.get(), XKB_MOD_NAME_CTRL);
    m_shift = maskOf(keymap.get(), XKB_MOD_NAME_SHIFT);
    const std::unique_ptr<char, Deleter<free>> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
    const size_t size = std::strlen(text.get()) + 1;
    const int fd = memfd_create("dravelin-keymap", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        write(fd, text.get(), size) != static_cast<ssize_t>(size)) {
        if (fd >= 0)
            close(fd);
        logs::error(logs::paste(), QStringLiteral("Wayland virtual keyboard: the keymap could not be written — "
                                                  "pasting by keystroke is off"));
        return;
    }
    m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(session.virtualKeyboards(), session.seat());
    // libwayland duplicates the descriptor as it queues the request.
    zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<uint32_t>(size));
    close(fd);
    session.flush();
    logs::info(logs::paste(), QStringLiteral("Keystrokes go through the compositor's virtual keyboard"));
}

WaylandKeySynthesizer::~WaylandKeySynthesizer()
{
    if (m_keyboard) {
        zwp_virtual_keyboard_v1_destroy(m_keyboard);
        m_session.flush();
    }
}

bool WaylandKeySynthesizer::canPost() const
{
    return m_keyboard && m_session.isAlive();
}

void WaylandKeySynthesizer::tap(uint32_t key, uint32_t modifiers)
{
    if (!canPost())
        return;
    if (modifiers)
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, modifiers, 0, 0, 0);
    zwp_virtual_keyboard_v1_key(m_keyboard, nowMs(), key, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(m_keyboard, nowMs(), key, WL_KEYBOARD_KEY_STATE_RELEASED);
    if (modifiers)
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, 0, 0, 0, 0);
    m_session.flush();
}

void WaylandKeySynthesizer::postPaste(PasteKeys keys)
{
    switch (keys) {
    case PasteKeys::ctrlV:
        return tap(KEY_V, m_control);
    case PasteKeys::ctrlShiftV:
        return tap(KEY_V, m_control | m_shift);
    case PasteKeys::shiftInsert:
        return tap(KEY_INSERT, m_shift);
    }
}

void WaylandKeySynthesizer::postCopy(bool terminal)
{
    tap(KEY_C, terminal ? m_control | m_shift : m_control);
}

void WaylandKeySynthesizer::postSelectBackward(int count)
{
    // In batches the compositor has taken in before the next, so our socket
    // buffer never fills (which libwayland treats as fatal).
    count = std::min(count, kMaxSelectBackward);
    for (int i = 0; i < count; ++i) {
        tap(KEY_LEFT, m_shift);
        if (i % 16 == 15)
            m_session.roundtrip();
    }
}

void WaylandKeySynthesizer::postCollapseSelection()
{
    tap(KEY_RIGHT, 0);
}

} // namespace dravelin::nix
