#pragma once

#include "platform/FloatingSurface.h"

#include "indicator/IndicatorController.h"

#include <QWidget>

#include <functional>
#include <optional>

class QScreen;
class QTimer;

namespace dravelin::ui {

// Where the indicator sits: on the screen that holds the pointer.
struct IndicatorPlacement
{
    QScreen *screen = nullptr;
    QRect frame;
};
std::optional<IndicatorPlacement> indicatorPlacement(const IndicatorController &controller);

// The window flags of a floating panel that never takes the keyboard focus:
// a frameless, always-on-top tool window the window manager leaves alone.
inline constexpr Qt::WindowFlags kFloatingPanelFlags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                                       Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint;
// Makes `panel` such a panel: shown without activation, translucent, never
// focused, tracking the mouse for hover. Pass kFloatingPanelFlags to its
// QWidget constructor.
void makeFloatingPanel(QWidget &panel, const QString &name, const QString &title);

// The floating pill that draws the indicator's state: a quiet handle when
// idle, the level waveform while recording (with discard and confirm
// buttons), a busy animation while the text is prepared, notices and errors,
// the result and Ask panels with their buttons, and the sign-in prompt.
//
// It never takes the keyboard focus from the application being dictated
// into: an override-redirect tool window that does not accept focus and is
// shown without activation, so clicks on its buttons reach it while the
// focus stays where it was. Outside the buttons (and in states without any)
// clicks pass through to the windows below.
class IndicatorPanel final : public QWidget
{
    Q_OBJECT
public:
    IndicatorPanel(IndicatorController &controller, std::function<void()> openSignIn, QWidget *parent = nullptr);
    // Draws into `surface` instead of showing a window of its own: where the
    // desktop would place and focus the panel like any window (Wayland), the
    // surface keeps it floating and out of the keyboard's way. It must
    // outlive the panel.
    void useFloatingSurface(FloatingSurface &surface);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void sync();
    void reposition();
    // Renders the panel and hands the frame to the floating surface when it changed.
    void pushFrame();
    void onSurfacePointer(const FloatingSurface::PointerEvent &event);
    void reportRegions();
    QRectF signInButtonRect() const;
    void paintPill(QPainter &p, const QRectF &r) const;
    void paintWaveform(QPainter &p, const QRectF &area) const;
    void paintButton(QPainter &p, const QRectF &r, const QString &glyph, bool hovered) const;
    QRectF textRect() const;

    IndicatorController &m_controller;
    std::function<void()> m_openSignIn;
    QTimer *m_animation = nullptr;
    QTimer *m_follow = nullptr;
    int m_frame = 0;
    std::optional<IndicatorHitRegion> m_pressed;
    bool m_dark = false;
    std::optional<IndicatorState::Kind> m_painted; // the state of the last frame
    FloatingSurface *m_surface = nullptr;
    QTimer *m_frames = nullptr; // frames for the floating surface, while shown
    QImage m_lastFrame;
    QPoint m_surfaceOffset;
    QString m_surfaceScreen;
};

} // namespace dravelin::ui
