#include "platform/linux/DesktopRoads.h"

#include <gtest/gtest.h>

using namespace dravelin::nix;

// Which session Dravelin believes it is in decides every road after it:
// Qt's own platform wins, then which displays exist.
TEST(DesktopRoadsTest, SessionTypeFollowsQtThenTheDisplays)
{
    EXPECT_EQ(sessionTypeFor(QStringLiteral("wayland"), true, true), SessionType::wayland);
    EXPECT_EQ(sessionTypeFor(QStringLiteral("wayland-egl"), true, false), SessionType::wayland);
    // Qt on XWayland: X11 roads reach the X11 applications it shows.
    EXPECT_EQ(sessionTypeFor(QStringLiteral("xcb"), true, true), SessionType::x11);
    EXPECT_EQ(sessionTypeFor(QStringLiteral("offscreen"), true, false), SessionType::wayland);
    EXPECT_EQ(sessionTypeFor(QStringLiteral("offscreen"), true, true), SessionType::x11);
}

TEST(DesktopRoadsTest, WaylandRoadsUseWhatTheCompositorOffersAndFallBackInOrder)
{
    const auto roads = [](bool keyboard, bool control, bool x11) {
        return chooseRoads(SessionType::wayland, DesktopOffers{keyboard, control, x11});
    };
    EXPECT_EQ(roads(true, true, false).keys, KeysRoad::virtualKeyboard);
    EXPECT_EQ(roads(true, true, false).clipboard, ClipboardRoad::dataControl);
    // Keystrokes without a clipboard we can set would paste stale text; XTest
    // through XWayland reaches X11 applications only. Neither is taken.
    EXPECT_EQ(roads(true, false, true).keys, KeysRoad::none);
    EXPECT_EQ(roads(false, false, true).keys, KeysRoad::none);
    EXPECT_EQ(roads(false, false, true).clipboard, ClipboardRoad::qt);
    EXPECT_TRUE(describe(SessionType::wayland, roads(false, false, false)).contains(u"panel"));
    // An X11 session never takes a Wayland road, whatever is offered.
    EXPECT_EQ(chooseRoads(SessionType::x11, DesktopOffers{true, true, true}).keys, KeysRoad::xtest);
    EXPECT_EQ(chooseRoads(SessionType::x11, DesktopOffers{true, true, false}).keys, KeysRoad::none);
}
