#include "ui/TrayIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace dravelin::ui {

namespace {

QPixmap draw(PipelineState state, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);

    // A light body with a dark outline reads on light and dark panels alike.
    const QColor outline(30, 30, 30);
    const QColor body = state == PipelineState::recording ? QColor(226, 50, 50) : QColor(245, 245, 245);
    if (state == PipelineState::processing) {
        p.setPen(QPen(outline, 1.2));
        p.setBrush(body);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(5.0 + i * 7.0, 12.0), 2.6, 2.6);
        return pixmap;
    }
    // The capsule.
    p.setPen(QPen(outline, 1.4));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(8.5, 2.5, 7.0, 12.0), 3.5, 3.5);
    // The stand: an arc under the capsule, a stem and a foot, drawn as a
    // dark stroke with a thinner light one inside.
    QPainterPath stand;
    stand.moveTo(5.5, 10.5);
    stand.cubicTo(5.5, 19.0, 18.5, 19.0, 18.5, 10.5);
    stand.moveTo(12.0, 17.0);
    stand.lineTo(12.0, 20.5);
    stand.moveTo(8.5, 21.0);
    stand.lineTo(15.5, 21.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(outline, 3.4, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(stand);
    p.setPen(QPen(body, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(stand);
    return pixmap;
}

} // namespace

QIcon trayIcon(PipelineState state)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(draw(state, size));
    return icon;
}

} // namespace dravelin::ui
