#pragma once

#include "hotkeys/HotkeySettings.h"
#include "platform/GlobalHotkeys.h"
#include "ui/Page.h"

#include <map>

class QLabel;
class QPushButton;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// Every global shortcut with its current binding and any problem grabbing it;
// a click opens the recorder to rebind it. Also how the record shortcut works
// (toggle, hold to talk, or both).
class ShortcutsPage final : public Page
{
    Q_OBJECT
public:
    explicit ShortcutsPage(ServiceContainer &services, QWidget *parent = nullptr);

    void pageShown() override { refresh(); }

private:
    QWidget *buildRow(HotkeyRole role);
    void refresh();

    ServiceContainer &m_services;
    struct Row
    {
        QPushButton *button = nullptr;
        QLabel *problem = nullptr;
    };
    std::map<HotkeyRole, Row> m_rows;
};

// Opens the shortcut recorder for `role` and applies what the user picks.
void rebindShortcut(ServiceContainer &services, HotkeyRole role, QWidget *parent);

// Why a shortcut does nothing, for the shortcuts page and the home screen's
// list of things to fix; empty when it works.
QString shortcutProblemText(GlobalHotkeyGrabber::GrabStatus status);

} // namespace dravelin::ui
