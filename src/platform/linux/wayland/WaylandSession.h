#pragma once

#include "platform/FloatingSurface.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

struct wl_compositor;
struct wl_output;
struct wl_pointer;
struct wl_shm;
struct wl_surface;
struct zwlr_layer_shell_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;
struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_data_control_manager_v1;
class QSocketNotifier;

namespace dravelin::nix {

// Dravelin's own connection to the Wayland compositor, beside Qt's: the
// globals the Wayland back ends use (a seat, the virtual keyboard and
// clipboard managers where the compositor offers them), with the compositor's
// events read and dispatched on the main thread as they arrive. A compositor
// that goes away leaves the connection dead, never the process.
class WaylandSession final : public QObject
{
    Q_OBJECT
public:
    // Null when WAYLAND_DISPLAY names no compositor that answers.
    static std::unique_ptr<WaylandSession> connect();
    ~WaylandSession() override;

    wl_display *display() const { return m_display; }
    wl_seat *seat() const { return m_seat; }
    // Null where the compositor does not offer them (GNOME, KDE).
    zwp_virtual_keyboard_manager_v1 *virtualKeyboards() const { return m_virtualKeyboards; }
    zwlr_data_control_manager_v1 *dataControl() const { return m_dataControl; }
    wl_compositor *compositor() const { return m_compositor; }
    wl_shm *shm() const { return m_shm; }
    zwlr_layer_shell_v1 *layerShell() const { return m_layerShell; }
    // The output called `name` (as QScreen::name() reports it); null when
    // unknown, which leaves the choice to the compositor.
    wl_output *output(const QString &name) const;
    void onOutputName(wl_output *output, const QString &name) { m_outputs[output] = name; }

    // The active window, where the compositor lists windows (wlroots-based
    // compositors): its application id ("foot", "firefox") and title.
    struct Toplevel
    {
        QString appID = {};
        QString title = {};
        bool activated = false;
    };
    std::optional<Toplevel> activeToplevel() const;
    // Asks the compositor to activate a window of `appID`; false when none is listed.
    bool activateToplevel(const QString &appID);

    // The seat's pointer over one of our surfaces, in surface coordinates.
    using PointerEvent = FloatingSurface::PointerEvent;
    using PointerHandler = std::function<void(const PointerEvent &)>;
    // Routes the pointer's events over `surface` to `handler` (an empty
    // handler stops that).
    void setPointerHandler(wl_surface *surface, PointerHandler handler);
    // The globals by name, for the platform check ("wl_seat, xdg_wm_base, …").
    const QStringList &globals() const { return m_globals; }
    bool isAlive() const;

    // Sends the requests made so far (never waits on the compositor).
    void flush();
    // Sends, then waits until the compositor has handled them and their events
    // are dispatched; only where an answer is needed before going on (a few
    // microseconds on a local socket). False when the connection is dead.
    bool roundtrip();

    // For the registry listener.
    void onGlobal(wl_registry *registry, uint32_t name, const char *interface, uint32_t version);
    void onSeatCapabilities(uint32_t capabilities);
    void onPointer(wl_surface *surface, const PointerEvent &event);
    void onToplevel(zwlr_foreign_toplevel_handle_v1 *handle);
    // Title, app id and state arrive one by one; done makes them current.
    Toplevel &pendingToplevel(zwlr_foreign_toplevel_handle_v1 *handle) { return m_toplevels[handle].pending; }
    void onToplevelDone(zwlr_foreign_toplevel_handle_v1 *handle);
    void onToplevelClosed(zwlr_foreign_toplevel_handle_v1 *handle);

private:
    explicit WaylandSession(wl_display *display);
    void dispatch();
    void reportDeath();

    wl_display *m_display = nullptr;
    wl_registry *m_registry = nullptr;
    wl_seat *m_seat = nullptr;
    zwp_virtual_keyboard_manager_v1 *m_virtualKeyboards = nullptr;
    zwlr_data_control_manager_v1 *m_dataControl = nullptr;
    wl_compositor *m_compositor = nullptr;
    wl_shm *m_shm = nullptr;
    zwlr_layer_shell_v1 *m_layerShell = nullptr;
    zwlr_foreign_toplevel_manager_v1 *m_toplevelManager = nullptr;
    struct ToplevelEntry
    {
        Toplevel current;
        Toplevel pending;
    };
    std::map<zwlr_foreign_toplevel_handle_v1 *, ToplevelEntry> m_toplevels;
    wl_pointer *m_pointer = nullptr;
    wl_surface *m_pointerSurface = nullptr; // the surface the pointer is over
    QPointF m_pointerPosition;
    std::map<wl_surface *, PointerHandler> m_pointerHandlers;
    std::map<wl_output *, QString> m_outputs; // named once the compositor says (version 4)
    QStringList m_globals;
    QSocketNotifier *m_notifier = nullptr;
    QSocketNotifier *m_writable = nullptr; // while requests wait for room in the socket
    bool m_deathReported = false;
};

} // namespace dravelin::nix
