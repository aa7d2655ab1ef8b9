#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QProgressBar;

namespace dravelin {
class MicLevelMonitor;
class ServiceContainer;
} // namespace dravelin

namespace dravelin::ui {

// A live microphone level with a line saying what is going on ("Listening",
// "Dravelin hears you", or why no microphone could be opened). The
// microphone is open only between start() and stop().
class MicLevelBar final : public QWidget
{
    Q_OBJECT
public:
    explicit MicLevelBar(ServiceContainer &services, QWidget *parent = nullptr);
    ~MicLevelBar() override;

    // (Re)opens the microphone, e.g. after the input changed.
    void start();
    void stop();
    bool isRunning() const { return m_monitor != nullptr; }
    // Shows a level measured elsewhere (a test recording) while stopped.
    void showLevel(float level);

private:
    void refreshState();

    ServiceContainer &m_services;
    std::unique_ptr<MicLevelMonitor> m_monitor;
    QProgressBar *m_bar = nullptr;
    QLabel *m_state = nullptr;
    float m_loudest = 0;
};

} // namespace dravelin::ui
