#include "ui/MicLevelBar.h"

#include "audio/MicLevelMeter.h"
#include "pipeline/ServiceContainer.h"
#include "ui/Page.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {
// On the monitor scale (-60 dBFS … 0): ordinary speech a hand's width away.
constexpr float kHeardLevel = 0.45f;
} // namespace

MicLevelBar::MicLevelBar(ServiceContainer &services, QWidget *parent) : QWidget(parent), m_services(services)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    m_bar = new QProgressBar(this);
    m_bar->setAccessibleName(QStringLiteral("Input level"));
    m_bar->setRange(0, 100);
    m_bar->setTextVisible(false);
    m_bar->setMaximumHeight(14);
    column->addWidget(m_bar);
    m_state = style::note(QString(), this);
    m_state->setAccessibleName(QStringLiteral("Microphone status"));
    column->addWidget(m_state);
}

MicLevelBar::~MicLevelBar() = default;

void MicLevelBar::start()
{
    stop();
    m_loudest = 0;
    m_monitor =
        std::make_unique<MicLevelMonitor>(*m_services.captureBackend(), m_services.scheduler(), m_services.defaults());
    connect(m_monitor.get(), &MicLevelMonitor::levelChanged, this, [this](float level) {
        m_bar->setValue(static_cast<int>(level * 100));
        if (level > m_loudest) {
            m_loudest = level;
            refreshState();
        }
    });
    connect(m_monitor.get(), &MicLevelMonitor::stateChanged, this, &MicLevelBar::refreshState);
    m_state->setText(QStringLiteral("Opening the microphone…"));
    auto started = m_monitor->start();
    Q_UNUSED(started);
}

void MicLevelBar::stop()
{
    if (!m_monitor)
        return;
    m_monitor->stop();
    m_monitor.reset();
    m_bar->setValue(0);
    m_state->clear();
}

void MicLevelBar::showLevel(float level)
{
    if (!m_monitor)
        m_bar->setValue(static_cast<int>(level * 100));
}

void MicLevelBar::refreshState()
{
    if (!m_monitor)
        return;
    switch (m_monitor->state()) {
    case MicLevelMonitor::State::running:
        m_state->setText(m_loudest > kHeardLevel ? QStringLiteral("✓  Dravelin hears you.")
                                                 : QStringLiteral("Listening. Speak and the bar moves."));
        break;
    case MicLevelMonitor::State::denied:
        m_state->setText(QStringLiteral("The sound server refused access to the microphone."));
        break;
    case MicLevelMonitor::State::error:
        m_state->setText(QStringLiteral("No microphone could be opened. Check that one is connected and not "
                                        "muted in the sound settings."));
        break;
    case MicLevelMonitor::State::idle:
        m_state->clear();
        break;
    }
}

} // namespace dravelin::ui
