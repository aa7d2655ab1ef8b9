#pragma once

#include "hotkeys/HotkeyBinding.h"

#include <QString>

namespace dravelin::ui {

// A binding the way Linux desktops write shortcuts: "Ctrl+Shift+Space",
// "Super+Ctrl+V", "Esc", "Right Ctrl" for a modifier alone. Bindings store
// "command" for Ctrl and "control" for Super; this is where that becomes the
// names on the user's keyboard. Modifiers without a key yet read "Ctrl+Shift+…".
QString shortcutText(const HotkeyBinding &binding, const KeyboardLayout *layout);

} // namespace dravelin::ui
