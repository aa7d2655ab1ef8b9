#pragma once

#include "pipeline/PipelineState.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

class QMenu;
class QSystemTrayIcon;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// The texts of the tray menu.
namespace trayText {
QString status(PipelineState state, bool signedIn);
QString recordButton(PipelineState state, bool signedIn);
// A history entry as a menu item: line breaks become spaces, cut to 60
// characters with "…".
QString recentEntry(const QString &text);
// "Sign out (e-mail)", the address cut to 29 characters and "…" past 30.
QString signOut(const QString &email);
} // namespace trayText

// Dravelin's item in the system tray: its icon follows the pipeline (idle,
// recording, processing) and its menu offers recording, rewrite, the recent
// transcriptions, settings, sign-out and quit. Without a tray host the item
// cannot be shown; isVisible() then says so and the app opens its window.
class TrayMenu final : public QObject
{
    Q_OBJECT
public:
    explicit TrayMenu(ServiceContainer &services, QObject *parent = nullptr);
    ~TrayMenu() override;

    bool isVisible() const;
    QMenu *menu() const { return m_menu; }
    // Fills the menu from the current state (also done each time it opens).
    void rebuild();

Q_SIGNALS:
    void quitRequested();

private:
    QCoro::Task<> pasteEntry(QString text);

    ServiceContainer &m_services;
    QSystemTrayIcon *m_icon = nullptr;
    QMenu *m_menu = nullptr;
};

} // namespace dravelin::ui
