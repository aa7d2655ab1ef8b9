#include "hotkeys/RebindRules.h"

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

const HotkeyBindings kDefaults{{49, 0x0300}, {9, 0x1100}, std::nullopt, {53, 0}};
const QUuid kSummarise = QUuid::createUuid();
const QUuid kTranslate = QUuid::createUuid();
const QList<TransformHotkey> kTransforms{{kSummarise, QStringLiteral("Summarise"), HotkeyBinding{1, 0x0800}},
                                         {kTranslate, QStringLiteral("Translate"), std::nullopt}};

rebind::SaveState save(const RebindTarget &target, HotkeyBinding draft)
{
    return rebind::saveState(target, draft, [&](const HotkeyBinding &b) {
        return rebind::conflictLabel(target, b, kDefaults, kTransforms);
    });
}

} // namespace

TEST(RebindRulesTest, DialogTextsPerTarget)
{
    const auto transform = RebindTarget::transformHotkey(kTranslate, QStringLiteral("Translate"));
    EXPECT_EQ(rebind::title(), QStringLiteral("Capture new shortcut"));
    EXPECT_EQ(rebind::subtitle(transform), QStringLiteral("Press ⌥ + a key to bind to Translate transform"));
    EXPECT_EQ(rebind::subtitle(RebindTarget::forRole(HotkeyRole::cancel)),
              QStringLiteral("Press the key or combo you want to bind to Cancel recording"));
    EXPECT_EQ(rebind::placeholder(), QStringLiteral("press a key or combo · esc to clear"));
    EXPECT_TRUE(rebind::allowsBareModifier(RebindTarget::forRole(HotkeyRole::record)));
    EXPECT_FALSE(rebind::allowsBareModifier(RebindTarget::forRole(HotkeyRole::privatePaste)));
    EXPECT_EQ(transform.identifier(), QStringLiteral("transform"));
    EXPECT_EQ(RebindTarget::forRole(HotkeyRole::privatePaste).identifier(), QStringLiteral("privatePaste"));
}

TEST(RebindRulesTest, SaveIsDisabledByTheFirstRuleThatApplies)
{
    const auto record = RebindTarget::forRole(HotkeyRole::record);
    const auto privatePaste = RebindTarget::forRole(HotkeyRole::privatePaste);
    EXPECT_EQ(save(record, {keycode::none, 0}), (rebind::SaveState{false, std::nullopt}));
    EXPECT_EQ(save(privatePaste, {keycode::none, 0x0100}),
              (rebind::SaveState{false, QStringLiteral("Add a regular key to finish the shortcut.")}));
    EXPECT_EQ(save(record, {keycode::function, 0x0100}),
              (rebind::SaveState{false, QStringLiteral("This combo can't be used as a global hotkey.")}));
    EXPECT_EQ(save(record, {keycode::capsLock, 0}),
              (rebind::SaveState{false, QStringLiteral("This combo can't be used as a global hotkey.")}));
    EXPECT_EQ(
        save(privatePaste, {keycode::rightCommand, 0}),
        (rebind::SaveState{false, QStringLiteral("A single modifier key can't be used here — add another key.")}));
    EXPECT_EQ(save(record, {keycode::function, 0}), (rebind::SaveState{true, std::nullopt}));
    EXPECT_EQ(save(privatePaste, {9, 0x1100}), (rebind::SaveState{true, std::nullopt})); // its own binding
}

TEST(RebindRulesTest, TransformsNeedOptionAndMustNotClash)
{
    const auto translate = RebindTarget::transformHotkey(kTranslate, QStringLiteral("Translate"));
    const HotkeyBinding ctrlT{17, modifier::control};
    EXPECT_EQ(save(translate, ctrlT), (rebind::SaveState{false, std::nullopt})); // option missing, no hint
    EXPECT_EQ(save(translate, {17, modifier::option}), (rebind::SaveState{true, std::nullopt}));
    EXPECT_EQ(save(translate, {1, modifier::option}),
              (rebind::SaveState{false, QStringLiteral("Already assigned to Summarise. Pick a different shortcut.")}));
    // A transform never conflicts with itself.
    const auto summarise = RebindTarget::transformHotkey(kSummarise, QStringLiteral("Summarise"));
    EXPECT_EQ(save(summarise, {1, modifier::option}), (rebind::SaveState{true, std::nullopt}));
}

TEST(RebindRulesTest, ConflictLabelsNameStandardCommandsAndOtherHotkeys)
{
    const auto rewrite = RebindTarget::forRole(HotkeyRole::rewrite);
    const auto record = RebindTarget::forRole(HotkeyRole::record);
    EXPECT_EQ(rebind::conflictLabel(rewrite, {8, modifier::command}, kDefaults, kTransforms),
              QStringLiteral("System Copy"));
    EXPECT_EQ(rebind::conflictLabel(rewrite, {12, modifier::command}, kDefaults, kTransforms),
              QStringLiteral("Dravelin Quit"));
    EXPECT_EQ(rebind::conflictLabel(rewrite, {49, 0x0300}, kDefaults, kTransforms), QStringLiteral("Record"));
    EXPECT_EQ(rebind::conflictLabel(rewrite, {53, 0}, kDefaults, kTransforms), QStringLiteral("Cancel recording"));
    EXPECT_FALSE(rebind::conflictLabel(record, {49, 0x0300}, kDefaults, kTransforms)); // itself
    EXPECT_FALSE(rebind::conflictLabel(record, {keycode::none, 0x0100}, kDefaults, kTransforms));
    EXPECT_FALSE(rebind::conflictLabel(record, {5, 0x0900}, kDefaults, kTransforms));

    // A standard shortcut that is already the target's binding is no conflict.
    HotkeyBindings withCopy = kDefaults;
    withCopy.rewrite = HotkeyBinding{8, modifier::command};
    EXPECT_FALSE(rebind::conflictLabel(rewrite, {8, modifier::command}, withCopy, kTransforms));
    // The rewrite hotkey counts only while bound.
    EXPECT_EQ(rebind::conflictLabel(record, {8, modifier::command}, withCopy, kTransforms),
              QStringLiteral("System Copy"));
    withCopy.rewrite = HotkeyBinding{15, 0x0900};
    EXPECT_EQ(rebind::conflictLabel(record, {15, 0x0900}, withCopy, kTransforms), QStringLiteral("Rewrite selection"));
}
