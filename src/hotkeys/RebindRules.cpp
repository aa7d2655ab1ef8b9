#include "hotkeys/RebindRules.h"

namespace dravelin {

RebindTarget RebindTarget::forRole(HotkeyRole role)
{
    switch (role) {
    case HotkeyRole::record:
        return {Kind::record, {}, {}};
    case HotkeyRole::privatePaste:
        return {Kind::privatePaste, {}, {}};
    case HotkeyRole::rewrite:
        return {Kind::rewrite, {}, {}};
    case HotkeyRole::cancel:
        return {Kind::cancel, {}, {}};
    }
    return {};
}

QString RebindTarget::identifier() const
{
    switch (kind) {
    case Kind::transformHotkey:
        return QStringLiteral("transform");
    case Kind::record:
        return QStringLiteral("record");
    case Kind::privatePaste:
        return QStringLiteral("privatePaste");
    case Kind::rewrite:
        return QStringLiteral("rewrite");
    case Kind::cancel:
        return QStringLiteral("cancel");
    }
    return {};
}

std::optional<HotkeyRole> RebindTarget::role() const
{
    switch (kind) {
    case Kind::transformHotkey:
        return std::nullopt;
    case Kind::record:
        return HotkeyRole::record;
    case Kind::privatePaste:
        return HotkeyRole::privatePaste;
    case Kind::rewrite:
        return HotkeyRole::rewrite;
    case Kind::cancel:
        return HotkeyRole::cancel;
    }
    return std::nullopt;
}

const QList<StandardShortcut> &StandardShortcut::all()
{
    constexpr quint32 command = modifier::command, shift = modifier::shift, option = modifier::option;
    // Key codes: A 0, S 1, F 3, H 4, G 5, Z 6, X 7, C 8, V 9, Q 12, W 13, E 14,
    // O 31, P 35, J 38, N 45, M 46, comma 43, up 126, down 125.
    static const QList<StandardShortcut> table{
        {{7, command}, QStringLiteral("Cut"), false},
        {{8, command}, QStringLiteral("Copy"), false},
        {{9, command}, QStringLiteral("Paste"), false},
        {{0, command}, QStringLiteral("Select All"), false},
        {{6, command}, QStringLiteral("Undo"), false},
        {{6, command | shift}, QStringLiteral("Redo"), false},
        {{3, command}, QStringLiteral("Find"), false},
        {{5, command}, QStringLiteral("Find Next"), false},
        {{5, command | shift}, QStringLiteral("Find Previous"), false},
        {{14, command}, QStringLiteral("Use Selection for Find"), false},
        {{38, command}, QStringLiteral("Jump to Selection"), false},
        {{1, command}, QStringLiteral("Save"), false},
        {{31, command}, QStringLiteral("Open"), false},
        {{45, command}, QStringLiteral("New"), false},
        {{35, command}, QStringLiteral("Print"), false},
        {{13, command}, QStringLiteral("Close Window"), false},
        {{46, command}, QStringLiteral("Minimize"), false},
        {{126, command | option}, QStringLiteral("Previous Sidebar Item"), false},
        {{125, command | option}, QStringLiteral("Next Sidebar Item"), false},
        {{4, command}, QStringLiteral("Hide"), true},
        {{4, command | option}, QStringLiteral("Hide Others"), true},
        {{43, command}, QStringLiteral("Settings"), true},
        {{12, command}, QStringLiteral("Quit"), true},
    };
    return table;
}

std::optional<StandardShortcut> StandardShortcut::command(const HotkeyBinding &binding)
{
    for (const auto &shortcut : all()) {
        if (shortcut.binding == binding)
            return shortcut;
    }
    return std::nullopt;
}

namespace rebind {

namespace {

// A draft the dialog rejects before any conflict check: no key, a modifier key
// with modifiers, or Caps Lock.
bool lacksKey(const HotkeyBinding &draft)
{
    return draft.keyCode == keycode::none;
}

bool unusableCombo(const HotkeyBinding &draft)
{
    return (HotkeyBinding::isModifierKeyCode(draft.keyCode) && draft.modifiers != 0) ||
           draft.keyCode == keycode::capsLock;
}

} // namespace

QString title()
{
    return QStringLiteral("Capture new shortcut");
}

QString placeholder()
{
    return QStringLiteral("press a key or combo · esc to clear");
}

quint32 requiredModifiers(const RebindTarget &target)
{
    return target.kind == RebindTarget::Kind::transformHotkey ? modifier::option : 0;
}

bool allowsBareModifier(const RebindTarget &target)
{
    return target.kind == RebindTarget::Kind::record;
}

QString displayLabel(const RebindTarget &target)
{
    if (target.kind == RebindTarget::Kind::transformHotkey)
        return target.transformName + QStringLiteral(" transform");
    return hotkeySettings::label(*target.role());
}

QString subtitle(const RebindTarget &target)
{
    const quint32 required = requiredModifiers(target);
    if (required == 0)
        return QStringLiteral("Press the key or combo you want to bind to ") + displayLabel(target);
    QStringList glyphs;
    for (QChar glyph : HotkeyBinding::modifierGlyphs(required))
        glyphs << QString(glyph);
    return QStringLiteral("Press ") + glyphs.join(QStringLiteral(" + ")) + QStringLiteral(" + a key to bind to ") +
           displayLabel(target);
}

SaveState saveState(const RebindTarget &target, const HotkeyBinding &draft, const ConflictFinder &conflict)
{
    if (lacksKey(draft)) {
        if (draft.modifiers != 0)
            return {false, QStringLiteral("Add a regular key to finish the shortcut.")};
        return {false, std::nullopt};
    }
    if (unusableCombo(draft))
        return {false, QStringLiteral("This combo can't be used as a global hotkey.")};
    const quint32 required = requiredModifiers(target);
    if ((draft.modifiers & required) != required)
        return {false, std::nullopt};
    if (draft.isBareModifier() && !allowsBareModifier(target))
        return {false, QStringLiteral("A single modifier key can't be used here — add another key.")};
    if (conflict) {
        if (auto label = conflict(draft))
            return {false,
                    QStringLiteral("Already assigned to ") + *label + QStringLiteral(". Pick a different shortcut.")};
    }
    return {true, std::nullopt};
}

std::optional<QString> conflictLabel(const RebindTarget &target, const HotkeyBinding &draft,
                                     const HotkeyBindings &current, const QList<TransformHotkey> &transforms)
{
    if (lacksKey(draft) || unusableCombo(draft))
        return std::nullopt;

    std::optional<HotkeyBinding> targetCurrent;
    if (auto role = target.role()) {
        targetCurrent = current.get(*role);
    } else {
        for (const auto &t : transforms) {
            if (t.id == target.transformID)
                targetCurrent = t.binding;
        }
    }
    if (targetCurrent != draft) {
        if (auto standard = StandardShortcut::command(draft))
            return (standard->ownedByDravelin ? QStringLiteral("Dravelin ") : QStringLiteral("System ")) +
                   standard->title;
    }

    const auto check = [&](RebindTarget::Kind kind, const std::optional<HotkeyBinding> &binding,
                           const QString &label) -> std::optional<QString> {
        if (target.kind == kind || !binding || *binding != draft)
            return std::nullopt;
        return label;
    };
    using Kind = RebindTarget::Kind;
    for (auto role : {HotkeyRole::record, HotkeyRole::privatePaste, HotkeyRole::rewrite, HotkeyRole::cancel}) {
        const Kind kind = RebindTarget::forRole(role).kind;
        if (auto label = check(kind, current.get(role), hotkeySettings::label(role)))
            return label;
    }
    for (const auto &t : transforms) {
        if (target.kind == Kind::transformHotkey && t.id == target.transformID)
            continue;
        if (t.binding && *t.binding == draft)
            return t.name;
    }
    return std::nullopt;
}

} // namespace rebind

} // namespace dravelin
