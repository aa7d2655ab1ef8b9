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
    }
    QGuiApplication::setPalette(palette);
}

} // namespace dravelin::nix
