#pragma once

#include <QWidget>

class QBoxLayout;
class QGroupBox;
class QLabel;
class QVBoxLayout;

namespace dravelin::ui {

// One screen of the main window. The window calls pageShown() each time the
// screen comes to the front (refresh what may have changed while it was away)
// and pageHidden() when another takes its place (stop meters, playback).
class Page : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;

    virtual void pageShown() {}
    virtual void pageHidden() {}

protected:
    // Lays the page out as a scrolling column under a title and a one-line
    // description; returns the column to fill. With `scrolls` false the
    // column fills the page (for screens built around one list or chart).
    QVBoxLayout *scaffold(const QString &title, const QString &description, bool scrolls = true);
};

namespace style {
// A bold title, `scale` times the body font.
QLabel *heading(const QString &text, QWidget *parent, double scale = 1.6);
// Secondary, wrapping text in the palette's muted colour.
QLabel *note(const QString &text, QWidget *parent);
// A titled section of a page.
QGroupBox *section(const QString &title, QWidget *parent);
// A large figure with its caption underneath, for dashboards.
QWidget *figure(QLabel *&value, const QString &caption, QWidget *parent);
// A warning or error line in the palette-independent red used for problems.
QLabel *problem(QWidget *parent);
} // namespace style

} // namespace dravelin::ui
