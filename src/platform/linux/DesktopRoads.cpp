#include "platform/linux/DesktopRoads.h"

#include "core/Log.h"
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/XTestKeySynthesizer.h"
#include "platform/linux/wayland/WaylandKeySynthesizer.h"
#include "platform/linux/wayland/WaylandPasteboard.h"
#include "platform/linux/wayland/WaylandSession.h"

#include <QGuiApplication>

namespace dravelin::nix {

namespace {

// Where no road reaches other applications (XTest through XWayland would
// reach X11 applications only, with a clipboard we could not set): the paste
// service then shows the text instead of pasting.
class KeystrokesUnavailable final : public KeySynthesizer
{
public:
    bool canPost() const override { return false; }
    void postPaste(PasteKeys) override {}
    void postCopy(bool) override {}
    void postSelectBackward(int) override {}
    void postCollapseSelection() override {}
    bool modifiersHeld() const override { return false; }
};

} // namespace

SessionType sessionTypeFor(const QString &qtPlatform, bool waylandDisplay, bool x11Display)
{
    if (qtPlatform.startsWith(u"wayland"))
        return SessionType::wayland;
    if (qtPlatform == u"xcb")
        return SessionType::x11;
    return waylandDisplay && !x11Display ? SessionType::wayland : SessionType::x11;
}

SessionType currentSessionType()
{
    return sessionTypeFor(QGuiApplication::platformName(), !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"),
                          !qEnvironmentVariableIsEmpty("DISPLAY"));
}

DesktopRoadChoice chooseRoads(SessionType session, const DesktopOffers &offers)
{
    if (session == SessionType::x11)
        return {offers.x11Display ? KeysRoad::xtest : KeysRoad::none, ClipboardRoad::qt};
    // A paste needs both: keystrokes, and a clipboard we can set without the
    // focus (otherwise Ctrl+V would paste whatever was there before). XTest
    // through XWayland is no road here: it reaches X11 applications only, and
    // Qt's Wayland clipboard cannot be set from the background.
    DesktopRoadChoice choice;
    choice.clipboard = offers.dataControl ? ClipboardRoad::dataControl : ClipboardRoad::qt;
    choice.keys = offers.virtualKeyboard && offers.dataControl ? KeysRoad::virtualKeyboard : KeysRoad::none;
    return choice;
}

QString describe(SessionType session, const DesktopRoadChoice &choice)
{
    const QString keys = choice.keys == KeysRoad::virtualKeyboard ? QStringLiteral("the compositor's virtual keyboard")
                         : choice.keys == KeysRoad::xtest
                             ? QStringLiteral("XTest")
                             : QStringLiteral("none — dictated text is shown in a panel to copy");
    const QString clipboard =
        choice.clipboard == ClipboardRoad::dataControl
            ? QStringLiteral("the compositor's data control")
            : (session == SessionType::x11 ? QStringLiteral("X11")
                                           : QStringLiteral("Qt's, only while a Dravelin window has the focus"));
    return QStringLiteral("%1 session; keystrokes: %2; clipboard: %3")
        .arg(session == SessionType::x11 ? QStringLiteral("X11") : QStringLiteral("Wayland"), keys, clipboard);
}

DesktopRoads::DesktopRoads() = default;
DesktopRoads::DesktopRoads(DesktopRoads &&) noexcept = default;
DesktopRoads &DesktopRoads::operator=(DesktopRoads &&) noexcept = default;
DesktopRoads::~DesktopRoads()
{
    // The back ends use the connection: they go first.
    keys.reset();
    pasteboard.reset();
}

DesktopRoads DesktopRoads::open()
{
    DesktopRoads roads;
    roads.session = currentSessionType();
    if (roads.session == SessionType::wayland) {
        roads.wayland = WaylandSession::connect();
        if (!roads.wayland)
            logs::error(logs::container(), QStringLiteral("Wayland session, but no compositor answered at "
                                                          "WAYLAND_DISPLAY=%1")
                                               .arg(qEnvironmentVariable("WAYLAND_DISPLAY")));
    }
    DesktopOffers offers;
    offers.x11Display = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (roads.wayland) {
        offers.virtualKeyboard = roads.wayland->virtualKeyboards() && roads.wayland->seat();
        offers.dataControl = roads.wayland->dataControl() && roads.wayland->seat();
    }
    roads.choice = chooseRoads(roads.session, offers);
    switch (roads.choice.keys) {
    case KeysRoad::virtualKeyboard:
        roads.keys = std::make_unique<WaylandKeySynthesizer>(*roads.wayland);
        break;
    case KeysRoad::xtest:
        roads.keys = std::make_unique<XTestKeySynthesizer>();
        break;
    case KeysRoad::none:
        roads.keys = std::make_unique<KeystrokesUnavailable>();
        break;
    }
    if (roads.choice.clipboard == ClipboardRoad::dataControl)
        roads.pasteboard = std::make_unique<WaylandPasteboard>(*roads.wayland);
    else
        roads.pasteboard = std::make_unique<QtPasteboard>();
    logs::info(logs::container(), QStringLiteral("Desktop: %1").arg(describe(roads.session, roads.choice)));
    return roads;
}

} // namespace dravelin::nix
