#include "hotkeys/HotkeyService.h"

#include "core/Log.h"
#include "core/UserDefaults.h"

namespace dravelin {

namespace {

const char *bareModifierName(BareModifier modifier)
{
    switch (modifier) {
    case BareModifier::command:
        return "command";
    case BareModifier::shift:
        return "shift";
    case BareModifier::option:
        return "option";
    case BareModifier::control:
        return "control";
    case BareModifier::fn:
        return "fn";
    }
    return "?";
}

} // namespace

HotkeyService::HotkeyService(UserDefaults &defaults, GlobalHotkeyGrabber &grabber, RawKeyEvents &rawKeys,
                             const KeyboardLayout *layout, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_grabber(grabber)
    , m_rawKeys(rawKeys)
    , m_layout(layout)
    , m_bindings(HotkeyBindings::load(defaults))
{
    m_defaults.registerDefaults({{QString::fromLatin1(kFnKeyKey), qint64{kDefaultFnKey}}});
    m_grabber.onHotkey = [this](quint32 id, bool pressed) { dispatch(id, pressed); };
    m_rawKeys.onKey = [this](quint16 keyCode, bool down) { handleRawKey(keyCode, down); };
}

HotkeyService::~HotkeyService()
{
    m_grabber.onHotkey = nullptr;
    m_rawKeys.onKey = nullptr;
}

quint16 HotkeyService::fnKey() const
{
    return static_cast<quint16>(m_defaults.integer(QString::fromLatin1(kFnKeyKey), kDefaultFnKey));
}

bool HotkeyService::recordIsBareFn() const
{
    return m_bindings.record.isBareModifier() && m_bindings.record.keyCode == keycode::function;
}

QString HotkeyService::display(const std::optional<HotkeyBinding> &binding) const
{
    return binding ? binding->displayString(m_layout) : QStringLiteral("unbound");
}

bool HotkeyService::grabFixed(HotkeyID id, const HotkeyBinding &binding)
{
    const auto number = static_cast<quint32>(id);
    const auto status = m_grabber.grab(number, binding.keyCode, binding.modifiers);
    if (status == GlobalHotkeyGrabber::GrabStatus::ok) {
        m_failures.erase(id);
        return true;
    }
    m_failures[id] = status;
    logs::error(
        logs::hotkey(),
        QStringLiteral("RegisterEventHotKey failed for id=%1: status=%2").arg(number).arg(static_cast<int>(status)));
    return false;
}

void HotkeyService::registerAll()
{
    if (m_registered) {
        logs::info(logs::hotkey(), QStringLiteral("Hotkeys already registered; skipping"));
        return;
    }
    m_registered = true;
    m_failures.clear();

    // The Fn-role gestures: Fn alone as the record key, Fn+Space for Ask.
    m_askListening = true;
    m_ask = {};
    m_fnHeld = false;

    int fixed = 0;
    if (m_bindings.record.isBareModifier()) {
        const auto modifier = bareModifier::from(m_bindings.record.keyCode);
        if (modifier && *modifier != BareModifier::fn)
            startBareListener(*modifier);
        else
            stopBareListener();
    } else {
        stopBareListener();
        fixed += grabFixed(HotkeyID::record, m_bindings.record);
    }
    fixed += grabFixed(HotkeyID::privatePaste, m_bindings.privatePaste);
    if (m_bindings.rewrite && m_bindings.rewrite->isValid() && !m_bindings.rewrite->isBareModifier())
        fixed += grabFixed(HotkeyID::rewrite, *m_bindings.rewrite);

    int transforms = 0;
    for (const auto &[id, binding] : m_cachedTransformBindings) {
        const quint32 wireID = m_wireIDByTransform.at(id);
        const bool ok =
            m_grabber.grab(wireID, binding.keyCode, binding.modifiers) == GlobalHotkeyGrabber::GrabStatus::ok;
        m_transformGrabbed[id] = ok;
        transforms += ok;
    }
    updateRawKeys();
    logs::info(logs::hotkey(),
               QStringLiteral("Hotkeys registered (%1 fixed, %2 transform) — record=%3 paste=%4 rewrite=%5")
                   .arg(fixed)
                   .arg(transforms)
                   .arg(display(m_bindings.record), display(m_bindings.privatePaste), display(m_bindings.rewrite)));
    Q_EMIT registrationChanged();
}

void HotkeyService::unregisterAll()
{
    for (HotkeyID id : {HotkeyID::record, HotkeyID::privatePaste, HotkeyID::rewrite, HotkeyID::cancel})
        m_grabber.ungrab(static_cast<quint32>(id));
    for (const auto &[id, wireID] : m_wireIDByTransform)
        m_grabber.ungrab(wireID);
    m_transformGrabbed.clear();
    m_cancelRegistered = false;
    m_registered = false;
    stopBareListener();
    m_askListening = false;
    m_ask = {};
    m_fnHeld = false;
    updateRawKeys();
    logs::info(logs::hotkey(), QStringLiteral("Hotkeys unregistered"));
}

void HotkeyService::reregister()
{
    const bool hadCancel = m_cancelRegistered;
    unregisterAll();
    registerAll();
    if (hadCancel)
        registerCancelHotkey();
    logs::info(logs::hotkey(), QStringLiteral("Hotkey re-registered: record=%1 | paste=%2")
                                   .arg(display(m_bindings.record), display(m_bindings.privatePaste)));
}

void HotkeyService::registerCancelHotkey()
{
    if (m_cancelRegistered) {
        logs::info(logs::hotkey(), QStringLiteral("Cancel hotkey already registered; skipping"));
        return;
    }
    const auto status =
        m_grabber.grab(static_cast<quint32>(HotkeyID::cancel), m_bindings.cancel.keyCode, m_bindings.cancel.modifiers);
    if (status != GlobalHotkeyGrabber::GrabStatus::ok) {
        m_failures[HotkeyID::cancel] = status;
        logs::error(logs::hotkey(),
                    QStringLiteral("RegisterEventHotKey failed for cancel: status=%1").arg(static_cast<int>(status)));
        Q_EMIT registrationChanged();
        return;
    }
    m_failures.erase(HotkeyID::cancel);
    m_cancelRegistered = true;
    logs::info(logs::hotkey(), QStringLiteral("Cancel hotkey (%1) registered").arg(display(m_bindings.cancel)));
}

void HotkeyService::unregisterCancelHotkey()
{
    if (!m_cancelRegistered)
        return;
    m_grabber.ungrab(static_cast<quint32>(HotkeyID::cancel));
    m_cancelRegistered = false;
    logs::info(logs::hotkey(), QStringLiteral("Cancel hotkey (%1) unregistered").arg(display(m_bindings.cancel)));
}

void HotkeyService::resetAskGesture()
{
    m_ask.resetGesture();
}

bool HotkeyService::updateBinding(HotkeyRole role, std::optional<HotkeyBinding> binding)
{
    if (binding ? !hotkeySettings::accepts(role, *binding) : role != HotkeyRole::rewrite) {
        logs::error(logs::hotkey(), hotkeySettings::rejectionMessage(role));
        return false;
    }
    switch (role) {
    case HotkeyRole::record:
        m_bindings.record = *binding;
        break;
    case HotkeyRole::privatePaste:
        m_bindings.privatePaste = *binding;
        break;
    case HotkeyRole::rewrite:
        m_bindings.rewrite = binding;
        break;
    case HotkeyRole::cancel:
        m_bindings.cancel = *binding;
        break;
    }
    hotkeySettings::store(m_defaults, role, binding);
    Q_EMIT bindingsChanged();
    if (role == HotkeyRole::cancel) {
        // Held only while a capture runs: swap it now only if it is held.
        if (m_cancelRegistered) {
            unregisterCancelHotkey();
            registerCancelHotkey();
        }
    } else if (m_registered) {
        reregister();
    }
    return true;
}

std::optional<GlobalHotkeyGrabber::GrabStatus> HotkeyService::problem(HotkeyRole role) const
{
    HotkeyID id = HotkeyID::record;
    switch (role) {
    case HotkeyRole::record:
        id = HotkeyID::record;
        break;
    case HotkeyRole::privatePaste:
        id = HotkeyID::privatePaste;
        break;
    case HotkeyRole::rewrite:
        id = HotkeyID::rewrite;
        break;
    case HotkeyRole::cancel:
        id = HotkeyID::cancel;
        break;
    }
    const auto found = m_failures.find(id);
    if (found == m_failures.end())
        return std::nullopt;
    return found->second;
}

void HotkeyService::registerTransformHotkey(QUuid id, std::optional<HotkeyBinding> binding,
                                            std::function<void(QUuid)> action)
{
    quint32 wireID = 0;
    if (const auto found = m_wireIDByTransform.find(id); found != m_wireIDByTransform.end()) {
        wireID = found->second;
        m_grabber.ungrab(wireID);
        m_transformGrabbed.erase(id);
    } else {
        wireID = m_nextTransformWireID++;
        m_wireIDByTransform[id] = wireID;
    }
    m_transformIDs[wireID] = id;
    m_transformActions[wireID] = std::move(action);
    const QString name = id.toString(QUuid::WithoutBraces);

    if (!binding) {
        m_cachedTransformBindings.erase(id);
        logs::info(logs::hotkey(), QStringLiteral("Transform hotkey unbound: id=%1").arg(name));
        return;
    }
    if (!binding->isValid() || binding->isBareModifier()) {
        logs::error(logs::hotkey(),
                    QStringLiteral("Rejected transform binding (bare modifier or unsupported): id=%1").arg(name));
        m_cachedTransformBindings.erase(id);
        return;
    }
    m_cachedTransformBindings[id] = *binding;
    const auto status = m_grabber.grab(wireID, binding->keyCode, binding->modifiers);
    if (status == GlobalHotkeyGrabber::GrabStatus::ok) {
        m_transformGrabbed[id] = true;
        logs::info(logs::hotkey(), QStringLiteral("Transform hotkey registered: id=%1 combo=%2 wireID=%3")
                                       .arg(name, binding->displayString(m_layout))
                                       .arg(wireID));
    } else {
        logs::error(logs::hotkey(), QStringLiteral("RegisterEventHotKey failed for transform id=%1: status=%2")
                                        .arg(name)
                                        .arg(static_cast<int>(status)));
    }
}

std::optional<quint32> HotkeyService::transformWireID(QUuid id) const
{
    const auto found = m_wireIDByTransform.find(id);
    if (found == m_wireIDByTransform.end())
        return std::nullopt;
    return found->second;
}

void HotkeyService::setKeyCaptureActive(bool active)
{
    if (active == m_suppressRecordForCapture)
        return;
    m_suppressRecordForCapture = active;
    if (!m_registered)
        return;
    if (active) {
        for (HotkeyID id : {HotkeyID::record, HotkeyID::privatePaste, HotkeyID::rewrite})
            m_grabber.ungrab(static_cast<quint32>(id));
        for (const auto &[id, wireID] : m_wireIDByTransform)
            m_grabber.ungrab(wireID);
    } else {
        reregister();
    }
}

void HotkeyService::setApplicationActive(bool active)
{
    m_applicationActive = active;
}

void HotkeyService::dispatch(quint32 idValue, bool pressed)
{
    const auto call = [](const std::function<void()> &callback) {
        if (callback)
            callback();
    };
    switch (idValue) {
    case static_cast<quint32>(HotkeyID::record):
        if (m_suppressRecordForCapture) {
            logs::info(logs::hotkey(), QStringLiteral("Record hotkey ignored — key-capture UI is on screen"));
            return;
        }
        if (pressed) {
            logs::info(logs::hotkey(), QStringLiteral("⌘⇧Space pressed (toggle record)"));
            call(m_callbacks.onToggleRecord);
        } else {
            logs::info(logs::hotkey(), QStringLiteral("⌘⇧Space released (toggle record)"));
            call(m_callbacks.onToggleRecordReleased);
        }
        return;
    default:
        break;
    }
    if (!pressed)
        return;
    switch (idValue) {
    case static_cast<quint32>(HotkeyID::privatePaste):
        logs::info(logs::hotkey(), QStringLiteral("⌘⌃V pressed (private paste)"));
        call(m_callbacks.onPrivatePaste);
        return;
    case static_cast<quint32>(HotkeyID::cancel):
        logs::info(logs::hotkey(),
                   QStringLiteral("%1 pressed (cancel record)").arg(m_bindings.cancel.displayString(m_layout)));
        call(m_callbacks.onCancelRecord);
        return;
    case static_cast<quint32>(HotkeyID::rewrite):
        logs::info(logs::hotkey(), QStringLiteral("Rewrite-selection hotkey pressed"));
        call(m_callbacks.onRewriteSelection);
        return;
    default:
        break;
    }
    const auto action = m_transformActions.find(idValue);
    const auto transform = m_transformIDs.find(idValue);
    if (action == m_transformActions.end() || transform == m_transformIDs.end()) {
        logs::info(logs::hotkey(), QStringLiteral("Unknown hotkey id received: %1").arg(idValue));
        return;
    }
    logs::info(logs::hotkey(), QStringLiteral("Transform hotkey fired: id=%1 transform=%2")
                                   .arg(idValue)
                                   .arg(transform->second.toString(QUuid::WithoutBraces)));
    // Copied: the action may re-register transforms and replace its own entry.
    const auto run = action->second;
    if (run)
        run(transform->second);
}

void HotkeyService::startBareListener(BareModifier target)
{
    m_bare.setTarget(target);
    logs::info(logs::bareModListener(),
               QStringLiteral("Started watching %1 (raw key events; the key still reaches the focused application)")
                   .arg(QLatin1String(bareModifierName(target))));
}

void HotkeyService::stopBareListener()
{
    if (!m_bare.target())
        return;
    m_bare.setTarget(std::nullopt);
    logs::info(logs::bareModListener(), QStringLiteral("Stopped"));
}

void HotkeyService::updateRawKeys()
{
    const bool wanted = m_askListening || m_bare.target().has_value();
    if (wanted && !m_rawKeys.isRunning()) {
        if (m_rawKeys.start())
            logs::info(logs::askHotkey(),
                       QStringLiteral("Ask Fn+Space listener active at %1 level").arg(QStringLiteral("XInput2 raw")));
        else
            logs::error(logs::askHotkey(), QStringLiteral("Raw key events unavailable — modifier-only hotkeys and "
                                                          "the Fn gestures will not work"));
    } else if (!wanted && m_rawKeys.isRunning()) {
        m_rawKeys.stop();
    }
}

void HotkeyService::handleRawKey(quint16 keyCode, bool down)
{
    if (m_bare.target()) {
        switch (m_bare.keyEvent(keyCode, down)) {
        case BareModifierTracker::Change::pressed:
            dispatch(static_cast<quint32>(HotkeyID::record), true);
            break;
        case BareModifierTracker::Change::released:
            dispatch(static_cast<quint32>(HotkeyID::record), false);
            break;
        case BareModifierTracker::Change::none:
            break;
        }
    }
    if (!m_askListening)
        return;

    std::optional<AskHotkeyInput> input;
    if (keyCode == fnKey()) {
        if (down != m_fnHeld) {
            m_fnHeld = down;
            Q_EMIT fnKeyChanged(down);
        }
        input = down ? AskHotkeyInput::fnDown : AskHotkeyInput::fnUp;
    } else if (keyCode == keycode::space) {
        input =
            down ? (m_fnHeld ? AskHotkeyInput::spaceDownWithFn : AskHotkeyInput::spaceDown) : AskHotkeyInput::spaceUp;
    }
    if (!input)
        return;
    // X11 reports raw keys to observers only: nothing can be swallowed, so
    // the decision's `consume` has no effect here.
    const auto decision = m_ask.handle(*input, recordIsBareFn(), m_applicationActive);
    if (!decision.action)
        return;
    switch (*decision.action) {
    case AskHotkeyAction::recordPress:
        dispatch(static_cast<quint32>(HotkeyID::record), true);
        break;
    case AskHotkeyAction::recordRelease:
        dispatch(static_cast<quint32>(HotkeyID::record), false);
        break;
    case AskHotkeyAction::beginAsk:
        if (m_suppressRecordForCapture) {
            m_ask.resetGesture();
            break;
        }
        logs::info(logs::hotkey(), QStringLiteral("Fn+Space pressed (Ask anything)"));
        if (m_callbacks.onBeginAsk)
            m_callbacks.onBeginAsk();
        break;
    case AskHotkeyAction::submitAsk:
        if (m_suppressRecordForCapture)
            break;
        logs::info(logs::hotkey(), QStringLiteral("Fn pressed (submit Ask)"));
        if (m_callbacks.onSubmitAsk)
            m_callbacks.onSubmitAsk();
        break;
    }
}

} // namespace dravelin
