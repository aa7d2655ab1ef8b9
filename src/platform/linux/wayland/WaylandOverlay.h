#pragma once

#include "platform/FloatingSurface.h"

#include <QSize>
#include <QString>

#include <array>

struct wl_buffer;
struct wl_surface;
struct zwlr_layer_surface_v1;

namespace dravelin::nix {

class WaylandSession;

// A FloatingSurface on the compositor's overlay layer (the layer shell, which
// wlroots-based compositors and KDE Plasma offer): anchored to the top-left
// of the output at the given offset, never given the keyboard, drawn into
// shared memory. Two buffers alternate, so a frame never waits on the
// compositor; a frame that finds both still in use replaces the pending one.
class WaylandOverlay final : public FloatingSurface
{
public:
    // Whether the compositor offers what this needs.
    static bool isOffered(const WaylandSession &session);
    WaylandOverlay(WaylandSession &session, QString nameSpace);
    ~WaylandOverlay() override;

    void show(const QImage &frame, QPoint offset, const QString &screen) override;
    void hide() override;
    bool isShown() const override { return m_layer != nullptr; }
    void setAcceptsPointer(bool accepts) override;

    // Listener entry points.
    void onConfigure(uint32_t serial);
    void onClosed();
    void onRelease(wl_buffer *buffer);

private:
    struct Buffer
    {
        wl_buffer *buffer = nullptr;
        uchar *data = nullptr;
        QSize size;
        bool busy = false;
    };
    void present();
    void applyInputRegion();
    Buffer *freeBuffer(QSize size);
    static void destroy(Buffer &buffer);

    WaylandSession &m_session;
    QString m_nameSpace;
    wl_surface *m_surface = nullptr;
    zwlr_layer_surface_v1 *m_layer = nullptr;
    bool m_configured = false;
    bool m_acceptsPointer = true;
    QImage m_frame; // the latest frame, waiting for the compositor or a buffer
    QPoint m_offset;
    QString m_screen; // the output the surface was made for
    bool m_pending = false;
    std::array<Buffer, 2> m_buffers;
};

} // namespace dravelin::nix
