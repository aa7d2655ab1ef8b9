#include "platform/linux/wayland/WaylandOverlay.h"

#include "core/Log.h"
#include "platform/linux/wayland/WaylandSession.h"

#include <wayland-client.h>
#include <wlr-layer-shell-unstable-v1-client.h>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace dravelin::nix {

namespace {

const zwlr_layer_surface_v1_listener kLayerListener{
    [](void *data, zwlr_layer_surface_v1 *, uint32_t serial, uint32_t, uint32_t) {
        static_cast<WaylandOverlay *>(data)->onConfigure(serial);
    },
    [](void *data, zwlr_layer_surface_v1 *) { static_cast<WaylandOverlay *>(data)->onClosed(); }};

const wl_buffer_listener kBufferListener{
    [](void *data, wl_buffer *buffer) { static_cast<WaylandOverlay *>(data)->onRelease(buffer); }};

} // namespace

bool WaylandOverlay::isOffered(const WaylandSession &session)
{
    return session.layerShell() && session.compositor() && session.shm();
}

WaylandOverlay::WaylandOverlay(WaylandSession &session, QString nameSpace)
    : m_session(session)
    , m_nameSpace(std::move(nameSpace))
{}

WaylandOverlay::~WaylandOverlay()
{
    hide();
    for (Buffer &buffer : m_buffers)
        destroy(buffer);
    m_session.flush();
}

void WaylandOverlay::show(const QImage &frame, QPoint offset, const QString &screen)
{
    if (frame.isNull())
        return;
    const QSize size = frame.size();
    // A layer surface stays on the output it was made for.
    if (m_layer && screen != m_screen)
        hide();
    if (!m_layer) {
        m_screen = screen;
        m_surface = wl_compositor_create_surface(m_session.compositor());
        m_layer =
            zwlr_layer_shell_v1_get_layer_surface(m_session.layerShell(), m_surface, m_session.output(screen),
                                                  ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, m_nameSpace.toUtf8().constData());
        zwlr_layer_surface_v1_add_listener(m_layer, &kLayerListener, this);
        zwlr_layer_surface_v1_set_anchor(m_layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT);
        zwlr_layer_surface_v1_set_keyboard_interactivity(m_layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
        // Offsets count from the output's corner, not from inside its panels.
        zwlr_layer_surface_v1_set_exclusive_zone(m_layer, -1);
        zwlr_layer_surface_v1_set_size(m_layer, uint32_t(size.width()), uint32_t(size.height()));
        zwlr_layer_surface_v1_set_margin(m_layer, offset.y(), 0, 0, offset.x());
        m_session.setPointerHandler(m_surface, [this](const PointerEvent &event) {
            if (onPointer)
                onPointer(event);
        });
        applyInputRegion();
        // The first commit carries no buffer: the compositor answers with a
        // configure, and the frame follows it.
        m_configured = false;
        wl_surface_commit(m_surface);
        logs::debug(logs::indicator(), QStringLiteral("Overlay surface created on the compositor's overlay layer"));
    } else if (size != m_frame.size() || offset != m_offset) {
        zwlr_layer_surface_v1_set_size(m_layer, uint32_t(size.width()), uint32_t(size.height()));
        zwlr_layer_surface_v1_set_margin(m_layer, offset.y(), 0, 0, offset.x());
    }
    m_frame = frame.format() == QImage::Format_ARGB32_Premultiplied
                  ? frame
                  : frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_offset = offset;
    m_pending = true;
    present();
}

void WaylandOverlay::hide()
{
    if (!m_layer)
        return;
    m_session.setPointerHandler(m_surface, {});
    zwlr_layer_surface_v1_destroy(m_layer);
    wl_surface_destroy(m_surface);
    m_layer = nullptr;
    m_surface = nullptr;
    m_configured = false;
    m_pending = false;
    m_frame = QImage();
    // A release for the old surface may still come: new buffers for the next.
    for (Buffer &buffer : m_buffers)
        destroy(buffer);
    m_session.flush();
}

void WaylandOverlay::setAcceptsPointer(bool accepts)
{
    if (accepts == m_acceptsPointer)
        return;
    m_acceptsPointer = accepts;
    applyInputRegion();
    if (m_configured) {
        wl_surface_commit(m_surface);
        m_session.flush();
    }
}

void WaylandOverlay::applyInputRegion()
{
    if (!m_surface)
        return;
    if (m_acceptsPointer) {
        wl_surface_set_input_region(m_surface, nullptr); // all of it
    } else {
        wl_region *none = wl_compositor_create_region(m_session.compositor());
        wl_surface_set_input_region(m_surface, none);
        wl_region_destroy(none);
    }
}

void WaylandOverlay::onConfigure(uint32_t serial)
{
    zwlr_layer_surface_v1_ack_configure(m_layer, serial);
    m_configured = true;
    m_pending = true;
    present();
}

void WaylandOverlay::onClosed()
{
    logs::info(logs::indicator(), QStringLiteral("The compositor closed the overlay surface"));
    hide();
}

void WaylandOverlay::onRelease(wl_buffer *buffer)
{
    for (Buffer &each : m_buffers)
        if (each.buffer == buffer)
            each.busy = false;
    if (m_pending)
        present();
}

void WaylandOverlay::present()
{
    if (!m_configured || !m_pending || m_frame.isNull())
        return;
    Buffer *buffer = freeBuffer(m_frame.size());
    if (!buffer)
        return; // both on screen: the next release presents the latest frame
    const qsizetype rowBytes = qsizetype(m_frame.width()) * 4;
    for (int y = 0; y < m_frame.height(); ++y)
        std::memcpy(buffer->data + y * rowBytes, m_frame.constScanLine(y), size_t(rowBytes));
    wl_surface_attach(m_surface, buffer->buffer, 0, 0);
    wl_surface_damage(m_surface, 0, 0, m_frame.width(), m_frame.height());
    wl_surface_commit(m_surface);
    buffer->busy = true;
    m_pending = false;
    m_session.flush();
}

WaylandOverlay::Buffer *WaylandOverlay::freeBuffer(QSize size)
{
    for (Buffer &buffer : m_buffers) {
        if (buffer.busy)
            continue;
        if (buffer.buffer && buffer.size == size)
            return &buffer;
        destroy(buffer);
        const int stride = size.width() * 4;
        const size_t bytes = size_t(stride) * size_t(size.height());
        const int fd = memfd_create("dravelin-overlay", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0) {
            if (fd >= 0)
                close(fd);
            return nullptr;
        }
        void *data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        wl_shm_pool *pool = wl_shm_create_pool(m_session.shm(), fd, int32_t(bytes));
        buffer.buffer = wl_shm_pool_create_buffer(pool, 0, size.width(), size.height(), stride, WL_SHM_FORMAT_ARGB8888);
        wl_shm_pool_destroy(pool);
        close(fd);
        wl_buffer_add_listener(buffer.buffer, &kBufferListener, this);
        buffer.data = static_cast<uchar *>(data);
        buffer.size = size;
        return &buffer;
    }
    return nullptr;
}

void WaylandOverlay::destroy(Buffer &buffer)
{
    if (buffer.buffer)
        wl_buffer_destroy(buffer.buffer);
    if (buffer.data)
        munmap(buffer.data, size_t(buffer.size.width()) * 4 * size_t(buffer.size.height()));
    buffer = Buffer{};
}

} // namespace dravelin::nix
