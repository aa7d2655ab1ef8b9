#pragma once

#include <QString>

#include <optional>

namespace dravelin {

// The user's current keyboard layout, used to name keys in shortcuts. Keys are
// numbered with the hardware-independent virtual key codes that bindings store.
class KeyboardLayout
{
public:
    virtual ~KeyboardLayout() = default;

    // What the key types with no modifiers held, under the current layout.
    // Nothing when no layout is available; an empty string when the key
    // types no character.
    virtual std::optional<QString> characters(quint16 keyCode) const = 0;
};

} // namespace dravelin
