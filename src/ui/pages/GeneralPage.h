#pragma once

#include "ui/Page.h"

class QLabel;
class QPlainTextEdit;
class QCheckBox;
class QPushButton;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// Everyday preferences: how text is tidied, the filler words, sounds, the
// theme, the indicator, launch at login and updates.
class GeneralPage final : public Page
{
    Q_OBJECT
public:
    explicit GeneralPage(ServiceContainer &services, QWidget *parent = nullptr);

private:
    QWidget *buildTextSection();
    QWidget *buildAppearanceSection();
    QWidget *buildSystemSection();
    void saveFillerWords();
    void refreshUpdates();

    ServiceContainer &m_services;
    QPlainTextEdit *m_fillerWords = nullptr;
    QCheckBox *m_launchAtLogin = nullptr;
    QLabel *m_updateStatus = nullptr;
    QPushButton *m_checkUpdates = nullptr;
};

} // namespace dravelin::ui
