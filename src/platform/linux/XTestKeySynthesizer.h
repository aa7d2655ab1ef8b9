#pragma once

#include "platform/KeySynthesizer.h"
#include "platform/linux/X11Display.h"

namespace dravelin::nix {

// Keystrokes through the XTest extension, as if typed on the keyboard; they go
// to the window with the X input focus.
class XTestKeySynthesizer final : public KeySynthesizer
{
public:
    XTestKeySynthesizer();

    bool canPost() const override { return m_available; }
    void postPaste(PasteKeys keys) override;
    void postCopy(bool terminal) override;
    void postSelectBackward(int count) override;
    void postCollapseSelection() override;
    bool modifiersHeld() const override;

private:
    void chord(bool shift, unsigned letterKeysym, unsigned fallbackKeycode);
    void key(unsigned keycode, bool down);
    unsigned keycode(unsigned keysym, unsigned fallback) const;
    void flush();

    X11Display m_display;
    bool m_available = false;
};

} // namespace dravelin::nix
