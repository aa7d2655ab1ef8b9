#include "hotkeys/HotkeyCapture.h"

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

constexpr quint64 kCmd = eventFlag::command;
constexpr quint64 kShift = eventFlag::shift;
// Device-dependent bits (left/right flags) ride along in the low 16 bits.
constexpr quint64 kRightCmdDevice = 0x10;

} // namespace

TEST(HotkeyCaptureTest, SingleModifierTapIsCapturedAloneOnlyWhereAllowed)
{
    HotkeyCapture record(true);
    EXPECT_TRUE(record.flagsChanged(keycode::rightCommand, kCmd | kRightCmdDevice));
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::none, modifier::command}));
    EXPECT_TRUE(record.flagsChanged(keycode::rightCommand, 0));
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::rightCommand, 0}));

    HotkeyCapture privatePaste(false);
    privatePaste.flagsChanged(keycode::rightCommand, kCmd);
    privatePaste.flagsChanged(keycode::rightCommand, 0);
    EXPECT_EQ(privatePaste.binding(), (HotkeyBinding{keycode::none, modifier::command}));
}

TEST(HotkeyCaptureTest, HeldModifiersWaitForAKeyAndTheirReleaseChangesNothing)
{
    HotkeyCapture capture(true);
    capture.flagsChanged(keycode::command, kCmd);
    capture.flagsChanged(keycode::shift, kCmd | kShift);
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::none, 0x0300}));
    EXPECT_TRUE(capture.keyDown(keycode::space, kCmd | kShift));
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::space, 0x0300}));
    EXPECT_TRUE(capture.flagsChanged(keycode::shift, kCmd)); // swallowed
    EXPECT_TRUE(capture.flagsChanged(keycode::command, 0));
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::space, 0x0300}));
}

TEST(HotkeyCaptureTest, ReleasingOneOfSeveralModifiersKeepsShowingThem)
{
    HotkeyCapture capture(true);
    capture.flagsChanged(keycode::command, kCmd);
    capture.flagsChanged(keycode::shift, kCmd | kShift);
    capture.flagsChanged(keycode::shift, kCmd);
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::none, 0x0300}));
    capture.flagsChanged(keycode::command, 0);
    // Two modifier keys were pressed: never a bare binding.
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::none, 0x0300}));
}

TEST(HotkeyCaptureTest, EscapeClearsButEscapeWithAModifierIsAShortcut)
{
    HotkeyCapture capture(false, HotkeyBinding{9, 0x1100});
    EXPECT_TRUE(capture.keyDown(keycode::escape, 0));
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::none, 0}));
    EXPECT_TRUE(capture.keyDown(keycode::escape, kShift));
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::escape, modifier::shift}));
}

TEST(HotkeyCaptureTest, CapsLockAndModifierKeyDownsWithModifiersPassOn)
{
    HotkeyCapture capture(true);
    EXPECT_FALSE(capture.keyDown(keycode::capsLock, 0));
    EXPECT_FALSE(capture.keyDown(keycode::option, kCmd));
    EXPECT_EQ(capture.binding(), (HotkeyBinding{}));
    EXPECT_FALSE(capture.flagsChanged(keycode::capsLock, 0x10000)); // not one of the nine modifier keys
}

TEST(HotkeyCaptureTest, ANewGestureAfterACompletedShortcutStartsClean)
{
    HotkeyCapture capture(true);
    capture.keyDown(0, kCmd);
    EXPECT_EQ(capture.binding(), (HotkeyBinding{0, modifier::command}));
    capture.keyDown(11, 0); // the next key starts over: no stale modifiers
    EXPECT_EQ(capture.binding(), (HotkeyBinding{11, 0}));
    capture.flagsChanged(keycode::option, eventFlag::option); // a press after completion resets too
    EXPECT_EQ(capture.binding(), (HotkeyBinding{keycode::none, modifier::option}));
    EXPECT_FALSE(capture.state().sawKeyDown);
}

TEST(HotkeyCaptureTest, FnAloneFromTheListenerNotification)
{
    HotkeyCapture record(true);
    record.fnChanged(true);
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::function, 0}));
    record.fnChanged(false);
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::function, 0}));

    HotkeyCapture withModifier(true);
    withModifier.flagsChanged(keycode::command, kCmd);
    withModifier.fnChanged(true);
    EXPECT_EQ(withModifier.binding(), (HotkeyBinding{keycode::none, modifier::command}));

    HotkeyCapture rewrite(false);
    rewrite.fnChanged(true);
    EXPECT_EQ(rewrite.binding(), (HotkeyBinding{}));
}

TEST(HotkeyCaptureTest, FnThroughModifierEventsIsABareModifierToo)
{
    HotkeyCapture record(true);
    record.flagsChanged(keycode::function, eventFlag::function);
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::function, 0}));
    record.flagsChanged(keycode::function, 0);
    EXPECT_EQ(record.binding(), (HotkeyBinding{keycode::function, 0}));
}
