#include "ui/BluetoothMicrophonePanel.h"

#include "core/Log.h"
#include "ui/IndicatorPanel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

namespace dravelin::ui {

using Region = IndicatorHitRegion;

BluetoothMicrophoneNotificationController::BluetoothMicrophoneNotificationController(
    BluetoothMicrophoneMonitor &monitor, IndicatorController &indicator, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_indicator(indicator)
    , m_panel(std::make_unique<BluetoothMicrophonePanel>(*this))
{
    connect(&m_monitor, &BluetoothMicrophoneMonitor::promptChanged, this,
            &BluetoothMicrophoneNotificationController::sync);
    sync();
}

BluetoothMicrophoneNotificationController::~BluetoothMicrophoneNotificationController() = default;

void BluetoothMicrophoneNotificationController::sync()
{
    m_hovered.reset();
    if (m_monitor.prompt()) {
        m_panel->follow();
        m_panel->update();
    } else {
        m_panel->stopFollowing();
    }
}

void BluetoothMicrophoneNotificationController::indicatorClicked(IndicatorHitRegion region)
{
    if (region == Region::bluetoothMicrophone)
        m_monitor.choose(BluetoothMicrophoneChoice::bluetoothMicrophone);
    else if (region == Region::systemMicrophone)
        m_monitor.choose(BluetoothMicrophoneChoice::systemMicrophone);
}

void BluetoothMicrophoneNotificationController::indicatorHoverChanged(std::optional<IndicatorHitRegion> region)
{
    m_hovered = region;
}

BluetoothMicrophonePanel::BluetoothMicrophonePanel(BluetoothMicrophoneNotificationController &controller)
    : QWidget(nullptr, kFloatingPanelFlags)
    , m_controller(controller)
{
    makeFloatingPanel(*this, QStringLiteral("bluetooth-microphone-prompt"),
                      QStringLiteral("Dravelin microphone prompt"));
    resize(panelSize);
    // Follows the indicator to another screen or edge while shown.
    m_follow = new QTimer(this);
    m_follow->setInterval(250);
    connect(m_follow, &QTimer::timeout, this, &BluetoothMicrophonePanel::reposition);
}

void BluetoothMicrophonePanel::follow()
{
    reposition();
    if (!isVisible()) {
        show();
        raise();
        logs::debug(logs::bluetoothMicrophone(), QStringLiteral("Bluetooth microphone prompt shown"));
    }
    m_follow->start();
}

void BluetoothMicrophonePanel::stopFollowing()
{
    m_follow->stop();
    hide();
}

void BluetoothMicrophonePanel::reposition()
{
    const auto placement = indicatorPlacement(m_controller.indicator());
    if (!placement)
        return;
    const QPoint origin =
        IndicatorController::nearbyNotificationOrigin(m_controller.indicator().position(), placement->frame,
                                                      QSizeF(panelSize), placement->screen->geometry())
            .toPoint();
    if (pos() != origin)
        move(origin);
}

QRectF BluetoothMicrophonePanel::buttonRect(IndicatorHitRegion region) const
{
    const qreal w = (panelSize.width() - 16 * 2 - 8) / 2.0;
    const qreal y = panelSize.height() - 12 - 28;
    return region == Region::bluetoothMicrophone ? QRectF(16, y, w, 28) : QRectF(16 + w + 8, y, w, 28);
}

std::optional<IndicatorHitRegion> BluetoothMicrophonePanel::regionAt(QPointF point) const
{
    for (const Region region : {Region::bluetoothMicrophone, Region::systemMicrophone}) {
        if (buttonRect(region).contains(point))
            return region;
    }
    return std::nullopt;
}

void BluetoothMicrophonePanel::paintEvent(QPaintEvent *)
{
    const auto &prompt = m_controller.monitor().prompt();
    if (!prompt)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    const QColor ink = dark ? QColor(236, 236, 238) : QColor(30, 30, 34);
    const QRectF r(rect());
    QPainterPath path;
    path.addRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
    p.setPen(QPen(dark ? QColor(255, 255, 255, 40) : QColor(0, 0, 0, 45), 1));
    p.setBrush(dark ? QColor(30, 30, 34, 240) : QColor(252, 252, 253, 245));
    p.drawPath(path);

    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(ink);
    const QRectF title(16, 12, r.width() - 32, 22);
    p.drawText(title, Qt::AlignVCenter | Qt::AlignLeft,
               QFontMetrics(bold).elidedText(QStringLiteral("%1 connected").arg(prompt->bluetoothName), Qt::ElideMiddle,
                                             static_cast<int>(title.width())));
    p.setFont(font());
    QColor faint = ink;
    faint.setAlphaF(0.7);
    p.setPen(faint);
    p.drawText(QRectF(16, 34, r.width() - 32, 20), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Recommend using the System Microphone"));

    const auto hovered = m_controller.hoveredRegion();
    for (const auto &[region, label, recommended] :
         {std::tuple{Region::bluetoothMicrophone, QStringLiteral("Bluetooth Microphone"), false},
          std::tuple{Region::systemMicrophone, QStringLiteral("System Microphone"), true}}) {
        const QRectF b = buttonRect(region);
        p.setPen(Qt::NoPen);
        if (recommended)
            p.setBrush(hovered == region ? QColor(56, 121, 226) : QColor(76, 141, 246));
        else
            p.setBrush(hovered == region ? QColor(120, 120, 128, 110) : QColor(120, 120, 128, 55));
        p.drawRoundedRect(b, 8, 8);
        p.setPen(recommended ? QColor(Qt::white) : ink);
        p.drawText(b, Qt::AlignCenter, label);
    }
}

void BluetoothMicrophonePanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (const auto region = regionAt(event->position())) {
        logs::info(logs::bluetoothMicrophone(), QStringLiteral("Prompt click → region=%1").arg(toString(*region)));
        m_controller.indicatorClicked(*region);
    }
}

void BluetoothMicrophonePanel::mouseMoveEvent(QMouseEvent *event)
{
    const auto region = regionAt(event->position());
    if (region != m_controller.hoveredRegion()) {
        m_controller.indicatorHoverChanged(region);
        update();
    }
}

void BluetoothMicrophonePanel::leaveEvent(QEvent *)
{
    m_controller.indicatorHoverChanged(std::nullopt);
    update();
}

} // namespace dravelin::ui
