#pragma once

#include "hotkeys/HotkeyBinding.h"

#include <QUuid>

#include <functional>
#include <optional>

namespace dravelin {

// What the hotkey service calls when its hotkeys and gestures fire.
struct HotkeyCallbacks
{
    std::function<void()> onToggleRecord;
    std::function<void()> onToggleRecordReleased;
    std::function<void()> onPrivatePaste;
    std::function<void()> onCancelRecord;
    std::function<void()> onRewriteSelection;
    std::function<void()> onBeginAsk;
    std::function<void()> onSubmitAsk;
};

// The hotkey service as the pipeline sees it.
class HotkeyHandling
{
public:
    virtual ~HotkeyHandling() = default;

    virtual HotkeyCallbacks &callbacks() = 0;
    // Registers every global hotkey with the system.
    virtual void registerHotkeys() = 0;
    // The cancel hotkey is held only while a capture runs.
    virtual void registerCancelHotkey() = 0;
    virtual void unregisterCancelHotkey() = 0;
    // Forgets a half-made Ask gesture.
    virtual void resetAskGesture() = 0;
};

// Binding a transform's own hotkey: pressing it calls `action` with the id;
// registering an id again replaces its binding, none unbinds it.
class TransformHotkeyRegistering
{
public:
    virtual ~TransformHotkeyRegistering() = default;
    virtual void registerTransformHotkey(QUuid id, std::optional<HotkeyBinding> binding,
                                         std::function<void(QUuid)> action) = 0;
};

} // namespace dravelin
