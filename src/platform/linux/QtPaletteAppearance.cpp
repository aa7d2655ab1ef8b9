#include "platform/linux/QtPaletteAppearance.h"

#include <QGuiApplication>
#include <QPalette>

namespace dravelin::nix {

void QtPaletteAppearance::apply(bool dark)
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return; // a command-line run has no windows to restyle
    QPalette palette;
    if (dark) {
        const QColor window(0x2b, 0x2b, 0x2e);
        const QColor base(0x1e, 0x1e, 0x20);
        const QColor text(0xec, 0xec, 0xee);
        const QColor accent(0x4c, 0x8d, 0xf6);
        palette.setColor(QPalette::Window, window);
        palette.setColor(QPalette::WindowText, text);
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::AlternateBase, window);
        palette.setColor(QPalette::ToolTipBase, base);
        palette.setColor(QPalette::ToolTipText, text);
        palette.setColor(QPalette::Text, text);
        palette.setColor(QPalette::Button, window);
        palette.setColor(QPalette::ButtonText, text);
        palette.setColor(QPalette::Highlight, accent);
        palette.setColor(QPalette::HighlightedText, Qt::white);
        palette.setColor(QPalette::Link, accent);
        palette.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
        palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x6e, 0x73));
        palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6e, 0x6e, 0x73));
        palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x8e, 0x8e, 0x93));
        // Disabled menu items are drawn "etched" with this colour one pixel
        // off; the light default doubles the text on a dark menu.
        palette.setColor(QPalette::Disabled, QPalette::Light, window);
        palette.setColor(QPalette::Light, QColor(0x3a, 0x3a, 0x3e));
        palette.setColor(QPalette::Midlight, QColor(0x34, 0x34, 0x38));
        palette.setColor(QPalette::Mid, QColor(0x24, 0x24, 0x27));
        palette.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
        palette.setColor(QPalette::Shadow, Qt::black);
    }
    QGuiApplication::setPalette(palette);
}

} // namespace dravelin::nix
