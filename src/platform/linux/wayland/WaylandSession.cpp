#include "platform/linux/wayland/WaylandSession.h"

#include "core/Log.h"

#include <QSocketNotifier>

#include <linux/input-event-codes.h>
#include <virtual-keyboard-unstable-v1-client.h>
#include <wayland-client.h>
#include <wlr-data-control-unstable-v1-client.h>
#include <wlr-foreign-toplevel-management-unstable-v1-client.h>
#include <wlr-layer-shell-unstable-v1-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dravelin::nix {

namespace {

void handleGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    static_cast<WaylandSession *>(data)->onGlobal(registry, name, interface, version);
}

void handleGlobalRemove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener kRegistryListener{handleGlobal, handleGlobalRemove};

const wl_seat_listener kSeatListener = [] {
    wl_seat_listener l{};
    l.capabilities = [](void *data, wl_seat *, uint32_t caps) {
        static_cast<WaylandSession *>(data)->onSeatCapabilities(caps);
    };
    l.name = [](void *, wl_seat *, const char *) {};
    return l;
}();

WaylandSession *sessionOf(void *data)
{
    return static_cast<WaylandSession *>(data);
}

const zwlr_foreign_toplevel_manager_v1_listener kToplevelManagerListener{
    [](void *data, zwlr_foreign_toplevel_manager_v1 *, zwlr_foreign_toplevel_handle_v1 *handle) {
        sessionOf(data)->onToplevel(handle);
    },
    [](void *, zwlr_foreign_toplevel_manager_v1 *) {}};

const zwlr_foreign_toplevel_handle_v1_listener kToplevelListener{
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *title) {
        sessionOf(data)->pendingToplevel(handle).title = QString::fromUtf8(title);
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *appID) {
        sessionOf(data)->pendingToplevel(handle).appID = QString::fromUtf8(appID);
    },
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {},
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {},
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_array *states) {
        bool activated = false;
        const auto *state = static_cast<const uint32_t *>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            activated = activated || state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
        sessionOf(data)->pendingToplevel(handle).activated = activated;
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) { sessionOf(data)->onToplevelDone(handle); },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) { sessionOf(data)->onToplevelClosed(handle); }};

const wl_output_listener kOutputListener = [] {
    wl_output_listener l{};
    l.geometry = [](void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                    int32_t) {};
    l.mode = [](void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {};
    l.done = [](void *, wl_output *) {};
    l.scale = [](void *, wl_output *, int32_t) {};
    l.name = [](void *data, wl_output *output, const char *name) {
        sessionOf(data)->onOutputName(output, QString::fromUtf8(name));
    };
    l.description = [](void *, wl_output *, const char *) {};
    return l;
}();

using Kind = WaylandSession::PointerEvent::Kind;

QPointF point(wl_fixed_t x, wl_fixed_t y)
{
    return {wl_fixed_to_double(x), wl_fixed_to_double(y)};
}

const wl_pointer_listener kPointerListener = [] {
    wl_pointer_listener l{};
    l.enter = [](void *data, wl_pointer *, uint32_t, wl_surface *surface, wl_fixed_t x, wl_fixed_t y) {
        static_cast<WaylandSession *>(data)->onPointer(surface, {Kind::enter, point(x, y)});
    };
    l.leave = [](void *data, wl_pointer *, uint32_t, wl_surface *surface) {
        static_cast<WaylandSession *>(data)->onPointer(surface, {Kind::leave, {}});
    };
    l.motion = [](void *data, wl_pointer *, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        static_cast<WaylandSession *>(data)->onPointer(nullptr, {Kind::motion, point(x, y)});
    };
    l.button = [](void *data, wl_pointer *, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        if (button == BTN_LEFT)
            static_cast<WaylandSession *>(data)->onPointer(
                nullptr, {state == WL_POINTER_BUTTON_STATE_PRESSED ? Kind::press : Kind::release, {}});
    };
    l.axis = [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {};
    l.frame = [](void *, wl_pointer *) {};
    l.axis_source = [](void *, wl_pointer *, uint32_t) {};
    l.axis_stop = [](void *, wl_pointer *, uint32_t, uint32_t) {};
    l.axis_discrete = [](void *, wl_pointer *, uint32_t, int32_t) {};
    return l;
}();

} // namespace

std::unique_ptr<WaylandSession> WaylandSession::connect()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return nullptr;
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    std::unique_ptr<WaylandSession> session(new WaylandSession(display));
    // Two round trips: the globals, then the events of what was bound.
    if (!session->roundtrip() || !session->roundtrip())
        return nullptr;
    return session;
}

WaylandSession::WaylandSession(wl_display *display) : m_display(display)
{
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &kRegistryListener, this);
    m_notifier = new QSocketNotifier(wl_display_get_fd(m_display), QSocketNotifier::Read, this);
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, &WaylandSession::dispatch);
    m_writable = new QSocketNotifier(wl_display_get_fd(m_display), QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    QObject::connect(m_writable, &QSocketNotifier::activated, this, &WaylandSession::flush);
}

WaylandSession::~WaylandSession()
{
    delete m_notifier;
    delete m_writable;
    if (m_pointer)
        wl_pointer_destroy(m_pointer);
    for (const auto &[handle, entry] : m_toplevels)
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    for (const auto &[output, outputName] : m_outputs)
        wl_output_destroy(output);
    if (m_toplevelManager)
        zwlr_foreign_toplevel_manager_v1_destroy(m_toplevelManager);
    if (m_layerShell)
        zwlr_layer_shell_v1_destroy(m_layerShell);
    if (m_shm)
        wl_shm_destroy(m_shm);
    if (m_compositor)
        wl_compositor_destroy(m_compositor);
    if (m_virtualKeyboards)
        zwp_virtual_keyboard_manager_v1_destroy(m_virtualKeyboards);
    if (m_dataControl)
        zwlr_data_control_manager_v1_destroy(m_dataControl);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_registry)
        wl_registry_destroy(m_registry);
    wl_display_disconnect(m_display);
}

void WaylandSession::onGlobal(wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    m_globals << QString::fromLatin1(interface);
    // The first seat is the user's (compositors offer one).
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !m_seat) {
        m_seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        wl_seat_add_listener(m_seat, &kSeatListener, this);
    } else if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        m_compositor = static_cast<wl_compositor *>(
            wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto *output =
            static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(output, &kOutputListener, this);
        m_outputs[output];
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        m_shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0) {
        m_toplevelManager = static_cast<zwlr_foreign_toplevel_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface, 1));
        zwlr_foreign_toplevel_manager_v1_add_listener(m_toplevelManager, &kToplevelManagerListener, this);
    } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
        m_layerShell =
            static_cast<zwlr_layer_shell_v1 *>(wl_registry_bind(registry, name, &zwlr_layer_shell_v1_interface, 1));
    } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        m_virtualKeyboards = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        m_dataControl = static_cast<zwlr_data_control_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, std::min(version, 2u)));
    }
}

void WaylandSession::onSeatCapabilities(uint32_t capabilities)
{
    const bool hasPointer = capabilities & WL_SEAT_CAPABILITY_POINTER;
    if (hasPointer && !m_pointer) {
        m_pointer = wl_seat_get_pointer(m_seat);
        wl_pointer_add_listener(m_pointer, &kPointerListener, this);
    } else if (!hasPointer && m_pointer) {
        wl_pointer_destroy(m_pointer);
        m_pointer = nullptr;
        m_pointerSurface = nullptr;
    }
}

void WaylandSession::onToplevel(zwlr_foreign_toplevel_handle_v1 *handle)
{
    m_toplevels[handle];
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kToplevelListener, this);
}

void WaylandSession::onToplevelDone(zwlr_foreign_toplevel_handle_v1 *handle)
{
    ToplevelEntry &entry = m_toplevels[handle];
    entry.current = entry.pending;
}

void WaylandSession::onToplevelClosed(zwlr_foreign_toplevel_handle_v1 *handle)
{
    m_toplevels.erase(handle);
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
}

wl_output *WaylandSession::output(const QString &name) const
{
    if (name.isEmpty())
        return nullptr;
    for (const auto &[output, outputName] : m_outputs)
        if (outputName == name)
            return output;
    return nullptr;
}

std::optional<WaylandSession::Toplevel> WaylandSession::activeToplevel() const
{
    for (const auto &[handle, entry] : m_toplevels)
        if (entry.current.activated)
            return entry.current;
    return std::nullopt;
}

bool WaylandSession::activateToplevel(const QString &appID)
{
    for (const auto &[handle, entry] : m_toplevels) {
        if (entry.current.appID.compare(appID, Qt::CaseInsensitive) == 0 && m_seat) {
            zwlr_foreign_toplevel_handle_v1_activate(handle, m_seat);
            flush();
            return true;
        }
    }
    return false;
}

void WaylandSession::setPointerHandler(wl_surface *surface, PointerHandler handler)
{
    if (handler) {
        m_pointerHandlers[surface] = std::move(handler);
    } else {
        m_pointerHandlers.erase(surface);
        if (m_pointerSurface == surface)
            m_pointerSurface = nullptr;
    }
}

void WaylandSession::onPointer(wl_surface *surface, const PointerEvent &event)
{
    // Motion and buttons name no surface: they belong to the one entered last.
    if (event.kind == PointerEvent::Kind::enter)
        m_pointerSurface = surface;
    wl_surface *target = surface ? surface : m_pointerSurface;
    PointerEvent routed = event;
    if (event.kind == PointerEvent::Kind::enter || event.kind == PointerEvent::Kind::motion)
        m_pointerPosition = event.position;
    else
        routed.position = m_pointerPosition;
    if (event.kind == PointerEvent::Kind::leave && m_pointerSurface == surface)
        m_pointerSurface = nullptr;
    const auto it = m_pointerHandlers.find(target);
    if (it != m_pointerHandlers.end()) {
        const PointerHandler handler = it->second; // may remove itself
        handler(routed);
    }
}

bool WaylandSession::isAlive() const
{
    return wl_display_get_error(m_display) == 0;
}

void WaylandSession::flush()
{
    if (!isAlive())
        return reportDeath();
    // A full socket takes the rest once the compositor has read some.
    const bool pending = wl_display_flush(m_display) < 0 && errno == EAGAIN;
    m_writable->setEnabled(pending);
}

bool WaylandSession::roundtrip()
{
    if (isAlive() && wl_display_roundtrip(m_display) >= 0)
        return true;
    reportDeath();
    return false;
}

void WaylandSession::dispatch()
{
    // Events another call already read wait in the queue; read only when it
    // is empty, as libwayland requires.
    while (wl_display_prepare_read(m_display) != 0) {
        if (wl_display_dispatch_pending(m_display) < 0)
            return reportDeath();
    }
    if (wl_display_read_events(m_display) < 0 || wl_display_dispatch_pending(m_display) < 0)
        return reportDeath();
    flush();
}

void WaylandSession::reportDeath()
{
    if (m_deathReported)
        return;
    m_deathReported = true;
    m_notifier->setEnabled(false);
    m_writable->setEnabled(false);
    logs::error(logs::container(), QStringLiteral("Wayland connection lost (%1): typing and the clipboard stop "
                                                  "working until Dravelin restarts")
                                       .arg(QString::fromLocal8Bit(std::strerror(wl_display_get_error(m_display)))));
}

} // namespace dravelin::nix
