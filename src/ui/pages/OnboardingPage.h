#pragma once

#include "ui/OnboardingFlow.h"
#include "ui/Page.h"

#include <map>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

namespace dravelin {
class ServiceContainer;
} // namespace dravelin

namespace dravelin::ui {

class MicLevelBar;

// Gets a new user from signed in to a first dictation: the microphone with a
// live meter, what typing into other applications needs (with the fix for
// whatever is missing), the record shortcut, and a box on the page to dictate
// into once. Each step can be left for later.
class OnboardingPage final : public Page
{
    Q_OBJECT
public:
    explicit OnboardingPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~OnboardingPage() override;

    void pageShown() override;
    void pageHidden() override;

private:
    QWidget *buildMicrophoneStep();
    QWidget *buildAccessibilityStep();
    QWidget *buildShortcutStep();
    QWidget *buildTryStep();
    void showStep(OnboardingStep step);
    void refreshPermissions();
    void refreshShortcut();

    ServiceContainer &m_services;
    OnboardingFlow m_flow;
    QListWidget *m_steps = nullptr;
    QStackedWidget *m_stack = nullptr;
    std::map<OnboardingStep, QWidget *> m_stepPages;
    QPushButton *m_back = nullptr;
    QPushButton *m_skip = nullptr;
    QPushButton *m_next = nullptr;
    // Microphone.
    MicLevelBar *m_level = nullptr;
    QLabel *m_microphoneState = nullptr;
    // Accessibility.
    QLabel *m_accessibilityState = nullptr;
    QLabel *m_accessibilityFix = nullptr;
    // Shortcut.
    QPushButton *m_shortcut = nullptr;
    // Try it.
    QPlainTextEdit *m_tryBox = nullptr;
    QLabel *m_tryState = nullptr;
    int m_historyAtStart = 0;
};

} // namespace dravelin::ui
