#pragma once

#include "hotkeys/HotkeyBinding.h"

#include <optional>

namespace dravelin {

class UserDefaults;

// The global hotkeys whose bindings the user can change.
enum class HotkeyRole {
    record,
    privatePaste,
    rewrite,
    cancel
};

// Storage and rules of the bindings: where each is kept in the user defaults,
// its default, and which bindings it accepts.
namespace hotkeySettings {

QString defaultsKey(HotkeyRole role);
// The binding in force when none is stored (the rewrite hotkey is unbound).
std::optional<HotkeyBinding> defaultBinding(HotkeyRole role);
QString label(HotkeyRole role);
QString description(HotkeyRole role);

// Whether the role takes this binding: any valid binding for record (a bare
// modifier such as Fn alone included); valid and not a bare modifier otherwise.
bool accepts(HotkeyRole role, const HotkeyBinding &binding);
// The error logged when an update is rejected.
QString rejectionMessage(HotkeyRole role);

// The stored binding if it decodes and is accepted, else the default. Corrupt
// data is not reported. A bare modifier stored for private paste (which older
// versions allowed) is also deleted from the defaults.
std::optional<HotkeyBinding> load(UserDefaults &defaults, HotkeyRole role);

// Writes the binding's JSON, or deletes the key for none.
void store(UserDefaults &defaults, HotkeyRole role, const std::optional<HotkeyBinding> &binding);

} // namespace hotkeySettings

// The four bindings in force.
struct HotkeyBindings
{
    HotkeyBinding record;
    HotkeyBinding privatePaste;
    std::optional<HotkeyBinding> rewrite;
    HotkeyBinding cancel;

    static HotkeyBindings load(UserDefaults &defaults);
    std::optional<HotkeyBinding> get(HotkeyRole role) const;
};

} // namespace dravelin
