#pragma once

#include "ui/Navigation.h"

#include <QMainWindow>

#include <qcoro/qcorotask.h>

#include <map>

class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class Page;

// Dravelin's window: the sign-in gate while nobody is signed in; afterwards a
// sidebar of screens (home, history, dictionary, statistics, the settings…).
// Screens are built the first time they are shown. Closing the window keeps
// Dravelin running in the tray.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(ServiceContainer &services, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the window and brings it to the front: on `route`, else on the
    // screen that needs attention first (onboarding for a user who has not
    // finished it), else where it was.
    void present(std::optional<Route> route = std::nullopt);
    // Shows one screen (signed in) or the sign-in gate.
    void navigate(Route route);
    std::optional<Route> currentRoute() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *buildSignInPage();
    QWidget *buildShell();
    Page *page(Route route);
    void showGateOrShell();
    void refreshSidebar();
    void refreshUptime();
    QCoro::Task<> signIn();

    ServiceContainer &m_services;
    QStackedWidget *m_gate = nullptr;
    // Sign-in gate.
    QPushButton *m_signInButton = nullptr;
    QPushButton *m_cancelSignIn = nullptr;
    QLabel *m_signInStatus = nullptr;
    // Shell.
    QListWidget *m_sidebar = nullptr;
    QLabel *m_accountLine = nullptr;
    QLabel *m_uptime = nullptr;
    QStackedWidget *m_pages = nullptr;
    std::map<Route, Page *> m_built;
    Page *m_shown = nullptr;
    bool m_signingIn = false;
};

} // namespace dravelin::ui
