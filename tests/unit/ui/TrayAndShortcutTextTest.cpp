#include "hotkeys/HotkeyBinding.h"
#include "ui/ShortcutText.h"
#include "ui/TrayMenu.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;

TEST(ShortcutTextTest, BindingsReadWithLinuxKeyNames)
{
    EXPECT_EQ(shortcutText({keycode::space, modifier::command | modifier::shift}, nullptr), u"Ctrl+Shift+Space");
    EXPECT_EQ(shortcutText({keycode::v, modifier::command | modifier::control}, nullptr), u"Super+Ctrl+?")
        << "without a layout a letter key cannot be named";
    EXPECT_EQ(shortcutText({keycode::escape, 0}, nullptr), u"Esc");
    EXPECT_EQ(shortcutText({keycode::rightCommand, 0}, nullptr), u"Right Ctrl");
    EXPECT_EQ(shortcutText({122, modifier::option}, nullptr), u"Alt+F1");
    EXPECT_EQ(shortcutText({keycode::none, modifier::command | modifier::shift}, nullptr), u"Ctrl+Shift+…");
}

TEST(TrayTextTest, MenuLabelsFollowStateAndCutLongTexts)
{
    EXPECT_EQ(trayText::status(PipelineState::idle, false), u"Status: Sign in required");
    EXPECT_EQ(trayText::status(PipelineState::processing, true), u"Status: Transcribing…");
    EXPECT_EQ(trayText::recordButton(PipelineState::recording, false), u"Sign in to record");
    EXPECT_EQ(trayText::recordButton(PipelineState::recording, true), u"Stop Recording");

    EXPECT_EQ(trayText::recentEntry(QStringLiteral("  line one\r\nline two  ")), u"line one  line two");
    const QString sixty(60, QLatin1Char('a'));
    EXPECT_EQ(trayText::recentEntry(sixty), sixty);
    EXPECT_EQ(trayText::recentEntry(sixty + QStringLiteral("b")), sixty + QStringLiteral("…"));

    const QString thirty = QStringLiteral("abcdefghijklmnopqrst@xample.io");
    ASSERT_EQ(thirty.size(), 30);
    EXPECT_EQ(trayText::signOut(thirty), QStringLiteral("Sign out (%1)").arg(thirty));
    EXPECT_EQ(trayText::signOut(thirty + QStringLiteral("m")), QStringLiteral("Sign out (%1…)").arg(thirty.left(29)));
}
