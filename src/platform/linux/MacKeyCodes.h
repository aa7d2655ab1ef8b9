#pragma once

#include <QtGlobal>

#include <optional>

namespace dravelin::nix {

// The Linux input (evdev) key code of a hardware-independent virtual key code
// as stored in bindings; X11 key codes are these plus 8.
std::optional<int> evdevFromVirtualKey(quint16 keyCode);
// The reverse mapping; nothing for keys bindings cannot name.
std::optional<quint16> virtualKeyFromEvdev(int evdevCode);

bool isKeypadVirtualKey(quint16 keyCode);

} // namespace dravelin::nix
