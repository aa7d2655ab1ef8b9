#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace dravelin {

class KeyboardLayout;

// Modifier bits of a binding (the classic Mac modifier mask, which bindings
// are stored in). On Linux, "command" is the Control key and "control" is Super.
namespace modifier {
inline constexpr quint32 command = 0x0100;
inline constexpr quint32 shift = 0x0200;
inline constexpr quint32 option = 0x0800;
inline constexpr quint32 control = 0x1000;
} // namespace modifier

// Hardware-independent virtual key codes used by bindings.
namespace keycode {
inline constexpr quint16 none = 0xFFFF;
inline constexpr quint16 v = 9;
inline constexpr quint16 space = 49;
inline constexpr quint16 escape = 53;
inline constexpr quint16 rightCommand = 54;
inline constexpr quint16 command = 55;
inline constexpr quint16 shift = 56;
inline constexpr quint16 capsLock = 57;
inline constexpr quint16 option = 58;
inline constexpr quint16 control = 59;
inline constexpr quint16 rightShift = 60;
inline constexpr quint16 rightOption = 61;
inline constexpr quint16 rightControl = 62;
inline constexpr quint16 function = 63;
} // namespace keycode

// One global key combination.
struct HotkeyBinding
{
    quint16 keyCode = keycode::none;
    quint32 modifiers = 0;

    bool operator==(const HotkeyBinding &) const = default;

    // The nine modifier keys (Caps Lock is not one of them).
    static bool isModifierKeyCode(quint16 code);

    // A key is set; a modifier key only alone; never Caps Lock.
    bool isValid() const;
    // A modifier key with no modifiers: the key pressed alone.
    bool isBareModifier() const;

    // Glyphs ⌃ ⌥ ⇧ ⌘ for the set modifiers, in that order, then the key's name.
    QString displayString(const KeyboardLayout *layout) const;
    // The short label of a key: fixed glyphs and names for special keys, the
    // current layout's character (upper-cased) for the rest; "Key#<code>"
    // when the layout types nothing, "?" when there is no layout.
    static QString keyName(quint16 code, const KeyboardLayout *layout);
    // Just the modifier glyphs of a mask, in display order.
    static QString modifierGlyphs(quint32 modifiers);

    // {"keyCode":49,"modifiers":768}
    QByteArray toJson() const;
    // Both keys are required and must be numbers in range.
    static Expected<HotkeyBinding, QString> fromJson(const QByteArray &bytes);
};

} // namespace dravelin
