#pragma once

#include "platform/KeySynthesizer.h"

#include <cstdint>

struct zwp_virtual_keyboard_v1;

namespace dravelin::nix {

class WaylandSession;

// Keystrokes through the compositor's virtual keyboard (wlroots-based
// compositors offer one); they go to the surface with the keyboard focus.
//
// The keyboard is created once and kept: a keyboard that appears on a seat
// that had none reaches applications only after they have set themselves up
// for it, so the first keystroke sent through a fresh one is lost.
class WaylandKeySynthesizer final : public KeySynthesizer
{
public:
    explicit WaylandKeySynthesizer(WaylandSession &session);
    ~WaylandKeySynthesizer() override;

    bool canPost() const override;
    void postPaste(PasteKeys keys) override;
    void postCopy(bool terminal) override;
    void postSelectBackward(int count) override;
    // Each press is four requests the compositor passes on as events: a long
    // burst would overflow the socket buffers on the way to the application
    // (which the compositor then disconnects).
    int maxSelectBackward() const override { return kMaxSelectBackward; }
    static constexpr int kMaxSelectBackward = 400;
    void postCollapseSelection() override;
    // Wayland does not tell a client without the focus what the user holds.
    bool modifiersHeld() const override { return false; }

private:
    // Presses and releases `key` (an evdev code) with `modifiers` held.
    void tap(uint32_t key, uint32_t modifiers);

    WaylandSession &m_session;
    zwp_virtual_keyboard_v1 *m_keyboard = nullptr;
    uint32_t m_control = 0; // modifier masks in the uploaded keymap
    uint32_t m_shift = 0;
};

} // namespace dravelin::nix
