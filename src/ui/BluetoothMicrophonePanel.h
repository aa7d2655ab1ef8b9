#pragma once

#include "audio/BluetoothMicrophoneMonitor.h"
#include "indicator/IndicatorController.h"

#include <QWidget>

#include <memory>
#include <optional>

class QTimer;

namespace dravelin::ui {

class BluetoothMicrophonePanel;

// Shows the monitor's prompt in a small panel beside the indicator and turns
// clicks on its two buttons into the user's choice.
class BluetoothMicrophoneNotificationController final : public QObject
{
    Q_OBJECT
public:
    BluetoothMicrophoneNotificationController(BluetoothMicrophoneMonitor &monitor, IndicatorController &indicator,
                                              QObject *parent = nullptr);
    ~BluetoothMicrophoneNotificationController() override;

    void indicatorClicked(IndicatorHitRegion region);
    void indicatorHoverChanged(std::optional<IndicatorHitRegion> region);
    std::optional<IndicatorHitRegion> hoveredRegion() const { return m_hovered; }

    const BluetoothMicrophoneMonitor &monitor() const { return m_monitor; }
    const IndicatorController &indicator() const { return m_indicator; }

private:
    void sync();

    BluetoothMicrophoneMonitor &m_monitor;
    IndicatorController &m_indicator;
    std::optional<IndicatorHitRegion> m_hovered;
    std::unique_ptr<BluetoothMicrophonePanel> m_panel;
};

// The prompt's window: like the indicator's, it floats above everything and
// never takes the keyboard focus, and it follows the indicator.
class BluetoothMicrophonePanel final : public QWidget
{
public:
    explicit BluetoothMicrophonePanel(BluetoothMicrophoneNotificationController &controller);

    static constexpr QSize panelSize{340, 100};
    QRectF buttonRect(IndicatorHitRegion region) const;
    void follow();
    void stopFollowing();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    std::optional<IndicatorHitRegion> regionAt(QPointF point) const;
    void reposition();

    BluetoothMicrophoneNotificationController &m_controller;
    QTimer *m_follow = nullptr;
};

} // namespace dravelin::ui
