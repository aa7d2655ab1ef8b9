#pragma once

#include "ui/Page.h"

#include <memory>

class QComboBox;
class QLabel;
class QPushButton;

namespace dravelin {
class MicTestRecording;
class ServiceContainer;
} // namespace dravelin

namespace dravelin::ui {

class MicLevelBar;

// Which microphone Dravelin records from, a live level meter while the page
// is open, a test recording to play back, and what happens when a Bluetooth
// headset connects.
class MicrophonePage final : public Page
{
    Q_OBJECT
public:
    explicit MicrophonePage(ServiceContainer &services, QWidget *parent = nullptr);
    ~MicrophonePage() override;

    void pageShown() override;
    void pageHidden() override;

private:
    void loadDevices();
    void refreshTest();

    ServiceContainer &m_services;
    std::unique_ptr<MicTestRecording> m_test;
    QComboBox *m_device = nullptr;
    MicLevelBar *m_level = nullptr;
    QPushButton *m_record = nullptr;
    QPushButton *m_play = nullptr;
    QLabel *m_testState = nullptr;
};

} // namespace dravelin::ui
