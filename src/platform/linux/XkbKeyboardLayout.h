#pragma once

#include "platform/KeyboardLayout.h"

#include <memory>

namespace dravelin::nix {

// Key names from xkbcommon: the X server's current keyboard layout when a
// display is reachable, otherwise the layout named by the XKB_DEFAULT_*
// variables (or the system default). Keypad keys are read with NumLock on.
class XkbKeyboardLayout final : public KeyboardLayout
{
public:
    // The layout of the running X session, or the default names without one.
    static std::unique_ptr<XkbKeyboardLayout> fromSession();
    // A layout from its names ("us", "de", "fr" with an optional variant).
    static std::unique_ptr<XkbKeyboardLayout> fromNames(const QString &layout, const QString &variant = {});

    ~XkbKeyboardLayout() override;

    bool isLoaded() const;
    // Where the layout came from: "X11 display :0", "names us", or why none loaded.
    QString source() const;

    std::optional<QString> characters(quint16 keyCode) const override;

private:
    XkbKeyboardLayout();
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace dravelin::nix
