#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <functional>

namespace dravelin {

// A surface above every window that never takes the keyboard focus, drawn by
// its owner frame by frame and placed where the owner says: how a floating
// panel stays put and out of the way where the desktop would otherwise place
// and focus it like any window (Wayland).
class FloatingSurface
{
public:
    struct PointerEvent
    {
        enum class Kind {
            enter,
            leave,
            motion,
            press,
            release
        };
        Kind kind = Kind::motion;
        QPointF position = {}; // in the frame's coordinates
    };

    virtual ~FloatingSurface() = default;

    // Shows `frame` with its top-left corner `offset` away from the top-left
    // of the screen named `screen` (QScreen::name(); empty: the desktop's
    // choice); a new frame replaces the last one.
    virtual void show(const QImage &frame, QPoint offset, const QString &screen) = 0;
    virtual void hide() = 0;
    virtual bool isShown() const = 0;
    // False: pointer presses pass through to whatever is below.
    virtual void setAcceptsPointer(bool accepts) = 0;

    // The pointer over the surface (a left button press or release, moves).
    std::function<void(const PointerEvent &)> onPointer;
};

} // namespace dravelin
