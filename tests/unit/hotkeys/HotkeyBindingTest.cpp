#include "hotkeys/HotkeyBinding.h"
#include "platform/linux/XkbKeyboardLayout.h"
#include "support/Fakes.h"

#include <gtest/gtest.h>

using namespace dravelin;

TEST(HotkeyBindingTest, ValidityAndBareModifiers)
{
    const HotkeyBinding fnAlone{keycode::function, 0};
    EXPECT_TRUE(fnAlone.isValid());
    EXPECT_TRUE(fnAlone.isBareModifier());
    EXPECT_FALSE((HotkeyBinding{keycode::function, modifier::command}.isValid()));
    EXPECT_FALSE((HotkeyBinding{keycode::rightShift, modifier::shift}.isValid()));
    EXPECT_FALSE((HotkeyBinding{keycode::capsLock, 0}.isValid()));
    EXPECT_FALSE((HotkeyBinding{keycode::capsLock, modifier::command}.isValid()));
    EXPECT_FALSE((HotkeyBinding{keycode::none, modifier::command}.isValid()));
    EXPECT_TRUE((HotkeyBinding{keycode::space, modifier::command | modifier::shift}.isValid()));
    EXPECT_FALSE((HotkeyBinding{keycode::space, 0}.isBareModifier()));
    EXPECT_TRUE((HotkeyBinding{keycode::escape, 0}.isValid()));
    // Caps Lock is not one of the nine modifier keys.
    EXPECT_FALSE(HotkeyBinding::isModifierKeyCode(keycode::capsLock));
    int modifierKeys = 0;
    for (int code = 0; code < 128; ++code)
        modifierKeys += HotkeyBinding::isModifierKeyCode(static_cast<quint16>(code)) ? 1 : 0;
    EXPECT_EQ(modifierKeys, 9);
}

TEST(HotkeyBindingTest, DisplayStringOrdersGlyphsControlOptionShiftCommand)
{
    test::FakeKeyboardLayout layout;
    layout.keys[9] = QStringLiteral("v");
    layout.keys[0] = QStringLiteral("q"); // an AZERTY A key
    EXPECT_EQ((HotkeyBinding{9, modifier::command | modifier::control}.displayString(&layout)), QStringLiteral("⌃⌘V"));
    EXPECT_EQ((HotkeyBinding{keycode::space, 0x0300}.displayString(&layout)), QStringLiteral("⇧⌘␣"));
    EXPECT_EQ((HotkeyBinding{0, 0x1A00 | 0x0100}.displayString(&layout)), QStringLiteral("⌃⌥⇧⌘Q"));
    EXPECT_EQ((HotkeyBinding{keycode::function, 0}.displayString(&layout)), QStringLiteral("Fn"));
    // Bits outside the four modifiers are carried but not shown.
    EXPECT_EQ((HotkeyBinding{keycode::escape, 0x0001}.displayString(&layout)), QStringLiteral("⎋"));
}

TEST(HotkeyBindingTest, KeyNamesUseTheFixedTableThenTheLayoutWithFallbacks)
{
    test::FakeKeyboardLayout layout;
    layout.keys[0] = QStringLiteral("ä");
    EXPECT_EQ(HotkeyBinding::keyName(50, &layout), QStringLiteral("`/~"));
    EXPECT_EQ(HotkeyBinding::keyName(42, &layout), QStringLiteral("\\"));
    EXPECT_EQ(HotkeyBinding::keyName(111, &layout), QStringLiteral("F12"));
    EXPECT_EQ(HotkeyBinding::keyName(80, &layout), QStringLiteral("F19"));
    EXPECT_EQ(HotkeyBinding::keyName(114, &layout), QStringLiteral("Help"));
    EXPECT_EQ(HotkeyBinding::keyName(0, &layout), QStringLiteral("Ä"));
    EXPECT_EQ(HotkeyBinding::keyName(10, &layout), QStringLiteral("Key#10")); // the layout types nothing
    layout.available = false;
    EXPECT_EQ(HotkeyBinding::keyName(0, &layout), QStringLiteral("?"));
    EXPECT_EQ(HotkeyBinding::keyName(0, nullptr), QStringLiteral("?"));
    EXPECT_EQ(HotkeyBinding::keyName(53, nullptr), QStringLiteral("⎋")); // fixed names need no layout
}

TEST(HotkeyBindingTest, RealXkbLayoutsNameLettersDigitsAndKeypadKeys)
{
    auto us = nix::XkbKeyboardLayout::fromNames(QStringLiteral("us"));
    ASSERT_TRUE(us->isLoaded()) << qPrintable(us->source());
    EXPECT_EQ(HotkeyBinding::keyName(0, us.get()), QStringLiteral("A"));
    EXPECT_EQ(HotkeyBinding::keyName(16, us.get()), QStringLiteral("Y"));
    EXPECT_EQ(HotkeyBinding::keyName(29, us.get()), QStringLiteral("0"));
    EXPECT_EQ(HotkeyBinding::keyName(83, us.get()), QStringLiteral("1"));      // keypad 1, read with NumLock on
    EXPECT_EQ(HotkeyBinding::keyName(76, us.get()), QStringLiteral("Key#76")); // keypad Enter types no character
    EXPECT_EQ(HotkeyBinding::keyName(52, us.get()), QStringLiteral("Key#52")); // no such key

    auto de = nix::XkbKeyboardLayout::fromNames(QStringLiteral("de"));
    ASSERT_TRUE(de->isLoaded());
    EXPECT_EQ(HotkeyBinding::keyName(16, de.get()), QStringLiteral("Z")); // QWERTZ
    EXPECT_EQ(HotkeyBinding::keyName(41, de.get()), QStringLiteral(";")); // fixed table wins over the layout
    EXPECT_EQ(HotkeyBinding::keyName(10, de.get()), QStringLiteral("<")); // the ISO key
}

TEST(HotkeyBindingTest, JsonRoundTripAndStrictDecoding)
{
    const HotkeyBinding record{keycode::space, 768};
    EXPECT_EQ(record.toJson(), QByteArray(R"({"keyCode":49,"modifiers":768})"));
    EXPECT_EQ(HotkeyBinding::fromJson(record.toJson()).value(), record);
    EXPECT_EQ(HotkeyBinding::fromJson(R"({"modifiers":0,"keyCode":63})").value(), (HotkeyBinding{63, 0}));

    for (const char *bad : {R"({"keyCode":49})", R"({"modifiers":768})", R"({"keyCode":"49","modifiers":768})",
                            R"({"keyCode":49,"modifiers":null})", R"({"keyCode":70000,"modifiers":0})",
                            R"({"keyCode":-1,"modifiers":0})", R"([49,768])", "garbage"})
        EXPECT_FALSE(HotkeyBinding::fromJson(QByteArray(bad))) << bad;
}
