#include "hotkeys/HotkeySettings.h"

#include "core/UserDefaults.h"

namespace dravelin::hotkeySettings {

QString defaultsKey(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return QStringLiteral("hotkey.record");
    case HotkeyRole::privatePaste:
        return QStringLiteral("hotkey.privatePaste");
    case HotkeyRole::rewrite:
        return QStringLiteral("hotkey.rewrite");
    case HotkeyRole::cancel:
        return QStringLiteral("hotkey.cancel");
    }
    return {};
}

std::optional<HotkeyBinding> defaultBinding(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return HotkeyBinding{keycode::space, modifier::command | modifier::shift};
    case HotkeyRole::privatePaste:
        return HotkeyBinding{keycode::v, modifier::command | modifier::control};
    case HotkeyRole::rewrite:
        return std::nullopt;
    case HotkeyRole::cancel:
        return HotkeyBinding{keycode::escape, 0};
    }
    return std::nullopt;
}

QString label(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return QStringLiteral("Record");
    case HotkeyRole::privatePaste:
        return QStringLiteral("Private paste");
    case HotkeyRole::rewrite:
        return QStringLiteral("Rewrite selection");
    case HotkeyRole::cancel:
        return QStringLiteral("Cancel recording");
    }
    return {};
}

QString description(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return QStringLiteral("Press to start, press again to stop and transcribe");
    case HotkeyRole::privatePaste:
        return QStringLiteral("Re-insert the most recent transcript at the cursor");
    case HotkeyRole::rewrite:
        return QStringLiteral("Send the highlighted text to the LLM and paste the rewrite back");
    case HotkeyRole::cancel:
        return QStringLiteral("Discards the current capture without inserting");
    }
    return {};
}

bool accepts(HotkeyRole role, const HotkeyBinding &binding)
{
    if (!binding.isValid())
        return false;
    return role == HotkeyRole::record || !binding.isBareModifier();
}

QString rejectionMessage(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return QStringLiteral("Rejected invalid record binding (bare modifier key)");
    case HotkeyRole::privatePaste:
        return QStringLiteral(
            "Rejected invalid private-paste binding (bare modifiers aren't allowed for private paste)");
    case HotkeyRole::rewrite:
        return QStringLiteral("Rejected invalid rewrite binding (bare modifier or unsupported key)");
    case HotkeyRole::cancel:
        return QStringLiteral("Rejected invalid cancel binding (bare modifiers aren't allowed for cancel)");
    }
    return {};
}

std::optional<HotkeyBinding> load(UserDefaults &defaults, HotkeyRole role)
{
    const QString key = defaultsKey(role);
    const auto data = defaults.data(key);
    if (!data)
        return defaultBinding(role);
    const auto decoded = HotkeyBinding::fromJson(*data);
    if (!decoded || decoded->keyCode == keycode::none)
        return defaultBinding(role);
    if (accepts(role, *decoded))
        return *decoded;
    if (role == HotkeyRole::privatePaste && decoded->isBareModifier())
        defaults.remove(key);
    return defaultBinding(role);
}

void store(UserDefaults &defaults, HotkeyRole role, const std::optional<HotkeyBinding> &binding)
{
    if (binding)
        defaults.set(defaultsKey(role), binding->toJson());
    else
        defaults.remove(defaultsKey(role));
}

} // namespace dravelin::hotkeySettings

namespace dravelin {

HotkeyBindings HotkeyBindings::load(UserDefaults &defaults)
{
    using namespace hotkeySettings;
    HotkeyBindings b;
    b.record = *hotkeySettings::load(defaults, HotkeyRole::record);
    b.privatePaste = *hotkeySettings::load(defaults, HotkeyRole::privatePaste);
    b.rewrite = hotkeySettings::load(defaults, HotkeyRole::rewrite);
    b.cancel = *hotkeySettings::load(defaults, HotkeyRole::cancel);
    return b;
}

std::optional<HotkeyBinding> HotkeyBindings::get(HotkeyRole role) const
{
    switch (role) {
    case HotkeyRole::record:
        return record;
    case HotkeyRole::privatePaste:
        return privatePaste;
    case HotkeyRole::rewrite:
        return rewrite;
    case HotkeyRole::cancel:
        return cancel;
    }
    return std::nullopt;
}

} // namespace dravelin
