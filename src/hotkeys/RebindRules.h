#pragma once

#include "hotkeys/HotkeySettings.h"

#include <QList>
#include <QUuid>

#include <functional>
#include <optional>

namespace dravelin {

// What a binding is for, in the settings screens and the rebinding dialog.
struct RebindTarget
{
    enum class Kind {
        transformHotkey,
        record,
        privatePaste,
        rewrite,
        cancel
    };

    Kind kind = Kind::record;
    QUuid transformID;     // transformHotkey only
    QString transformName; // transformHotkey only

    static RebindTarget transformHotkey(QUuid id, QString name) { return {Kind::transformHotkey, id, std::move(name)}; }
    static RebindTarget forRole(HotkeyRole role);

    // "transform", "record", "privatePaste", "rewrite" or "cancel".
    QString identifier() const;
    std::optional<HotkeyRole> role() const;

    bool operator==(const RebindTarget &) const = default;
};

// A transform's hotkey, as far as conflicts are concerned.
struct TransformHotkey
{
    QUuid id;
    QString name;
    std::optional<HotkeyBinding> binding;
};

// A menu shortcut that applications commonly use, which a global hotkey must not take.
struct StandardShortcut
{
    HotkeyBinding binding;
    QString title;
    bool ownedByDravelin = false; // one of Dravelin's own menu commands

    static const QList<StandardShortcut> &all();
    // The standard command that owns this binding, if any.
    static std::optional<StandardShortcut> command(const HotkeyBinding &binding);
};

// The rules of the rebinding dialog ("Capture new shortcut").
namespace rebind {

QString title();
QString placeholder();

quint32 requiredModifiers(const RebindTarget &target);
bool allowsBareModifier(const RebindTarget &target);
QString displayLabel(const RebindTarget &target);
QString subtitle(const RebindTarget &target);

struct SaveState
{
    bool enabled = false;
    std::optional<QString> hint;
    bool operator==(const SaveState &) const = default;
};

using ConflictFinder = std::function<std::optional<QString>(const HotkeyBinding &)>;

// Whether Save is enabled for the draft, with the hint shown under the field.
SaveState saveState(const RebindTarget &target, const HotkeyBinding &draft, const ConflictFinder &conflict);

// The label of whatever already uses `draft`: a standard menu command (unless
// the draft is the target's current binding), or another Dravelin hotkey.
std::optional<QString> conflictLabel(const RebindTarget &target, const HotkeyBinding &draft,
                                     const HotkeyBindings &current, const QList<TransformHotkey> &transforms);

} // namespace rebind

} // namespace dravelin
