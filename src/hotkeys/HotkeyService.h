#pragma once

#include "hotkeys/AskHotkeyDecision.h"
#include "hotkeys/BareModifierTracker.h"
#include "hotkeys/HotkeyHandling.h"
#include "hotkeys/HotkeySettings.h"
#include "platform/GlobalHotkeys.h"

#include <QObject>
#include <QUuid>

#include <functional>
#include <map>
#include <optional>

namespace dravelin {

class KeyboardLayout;
class UserDefaults;

// Turns global key presses into calls on the dictation pipeline. Owns the live
// bindings (record, private paste, rewrite selection, cancel, one per
// transform), grabs the ordinary combinations from the desktop, watches a
// record binding that is a modifier alone and the Fn-role gestures (Fn alone,
// Fn+Space for Ask) through raw key events, and routes every press and
// release through dispatch(). The cancel hotkey is grabbed only while a
// capture runs, so Escape stays free for other applications otherwise.
//
// Main-thread only: the platform delivers its events there.
class HotkeyService final : public QObject, public HotkeyHandling, public TransformHotkeyRegistering
{
    Q_OBJECT
public:
    // Numbers the fixed hotkeys are grabbed and dispatched under.
    enum class HotkeyID : quint32 {
        record = 1,
        privatePaste = 2,
        cancel = 3,
        rewrite = 4,
    };
    // Transform hotkeys are numbered from here, clear of the fixed ones.
    static constexpr quint32 kFirstTransformWireID = 10000;
    // The key that plays the Fn role (few PC keyboards report Fn to the
    // system): a virtual key code, Right Ctrl by default.
    static constexpr const char *kFnKeyKey = "hotkey.fnKey";
    static constexpr quint16 kDefaultFnKey = 54;

    HotkeyService(UserDefaults &defaults, GlobalHotkeyGrabber &grabber, RawKeyEvents &rawKeys,
                  const KeyboardLayout *layout, QObject *parent = nullptr);
    ~HotkeyService() override;

    // HotkeyHandling
    HotkeyCallbacks &callbacks() override { return m_callbacks; }
    void registerHotkeys() override { registerAll(); }
    void registerCancelHotkey() override;
    void unregisterCancelHotkey() override;
    void resetAskGesture() override;

    void registerAll();
    void unregisterAll();
    void reregister();
    bool isRegistered() const { return m_registered; }
    bool isCancelRegistered() const { return m_cancelRegistered; }

    const HotkeyBindings &bindings() const { return m_bindings; }
    // Validates, stores and applies a new binding; false (and an error in the
    // log) when the role does not take it. None unbinds the rewrite hotkey
    // (the other roles always have a binding).
    bool updateBinding(HotkeyRole role, std::optional<HotkeyBinding> binding);
    // Whether the role's combination could not be grabbed: `taken` when
    // another application holds it. Nothing when it works (or is unbound).
    std::optional<GlobalHotkeyGrabber::GrabStatus> problem(HotkeyRole role) const;

    void registerTransformHotkey(QUuid id, std::optional<HotkeyBinding> binding,
                                 std::function<void(QUuid)> action) override;
    std::optional<quint32> transformWireID(QUuid id) const;

    bool recordIsBareFn() const;
    // While a shortcut recorder is on screen the record hotkey does nothing
    // and the grabs are released, so the recorder sees every combination
    // (a grabbed one would never reach it). The Fn-role key is still reported.
    void setKeyCaptureActive(bool active);
    // Whether Dravelin's own window is the active one.
    void setApplicationActive(bool active);

    // Routes one press or release of a hotkey number.
    void dispatch(quint32 idValue, bool pressed);
    // One raw key event (from the platform, or a test).
    void handleRawKey(quint16 keyCode, bool down);

Q_SIGNALS:
    void bindingsChanged();
    // A grab succeeded or failed: problem() may have changed.
    void registrationChanged();
    // The Fn-role key went down or up (the shortcut recorder captures it).
    void fnKeyChanged(bool down);

private:
    bool grabFixed(HotkeyID id, const HotkeyBinding &binding);
    void startBareListener(BareModifier target);
    void stopBareListener();
    void updateRawKeys();
    QString display(const std::optional<HotkeyBinding> &binding) const;
    quint16 fnKey() const;

    UserDefaults &m_defaults;
    GlobalHotkeyGrabber &m_grabber;
    RawKeyEvents &m_rawKeys;
    const KeyboardLayout *m_layout;
    HotkeyCallbacks m_callbacks;
    HotkeyBindings m_bindings;

    bool m_registered = false;
    bool m_cancelRegistered = false;
    bool m_suppressRecordForCapture = false;
    bool m_applicationActive = false;
    std::map<HotkeyID, GlobalHotkeyGrabber::GrabStatus> m_failures;

    // Modifier alone as the record key.
    BareModifierTracker m_bare;
    // The Fn-role gestures.
    bool m_askListening = false;
    bool m_fnHeld = false;
    AskHotkeyDecisionState m_ask;

    std::map<QUuid, quint32> m_wireIDByTransform;
    std::map<quint32, QUuid> m_transformIDs;
    std::map<quint32, std::function<void(QUuid)>> m_transformActions;
    std::map<QUuid, HotkeyBinding> m_cachedTransformBindings;
    std::map<QUuid, bool> m_transformGrabbed;
    quint32 m_nextTransformWireID = kFirstTransformWireID;
};

} // namespace dravelin
