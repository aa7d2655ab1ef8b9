#pragma once

#include "hotkeys/HotkeySettings.h"

#include <QMainWindow>

#include <qcoro/qcorotask.h>

#include <map>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// Dravelin's window: the sign-in gate while nobody is signed in, the settings
// afterwards. Closing it keeps Dravelin running in the tray.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(ServiceContainer &services, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the window and brings it to the front.
    void present();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *buildSignInPage();
    QWidget *buildSettingsPage();
    QWidget *buildShortcutRow(HotkeyRole role);
    void showCurrentPage();
    void refreshShortcuts();
    void refreshAccount();
    void loadMicrophones();
    void rebind(HotkeyRole role);
    QCoro::Task<> signIn();
    QCoro::Task<> signOut();

    ServiceContainer &m_services;
    QStackedWidget *m_pages = nullptr;
    // Sign-in page.
    QPushButton *m_signInButton = nullptr;
    QPushButton *m_cancelSignIn = nullptr;
    QLabel *m_signInStatus = nullptr;
    // Settings page.
    QLabel *m_welcome = nullptr;
    QLabel *m_account = nullptr;
    QLabel *m_keychainWarning = nullptr;
    struct ShortcutRow
    {
        QPushButton *button = nullptr;
        QLabel *problem = nullptr;
    };
    std::map<HotkeyRole, ShortcutRow> m_shortcuts;
    QComboBox *m_microphone = nullptr;
    bool m_signingIn = false;
};

} // namespace dravelin::ui
