#include "platform/linux/DesktopWorkspace.h"

#include "platform/linux/wayland/WaylandSession.h"

#include "platform/linux/XErrorTrap.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <vector>

namespace dravelin::nix {

namespace {

// A window property of 32-bit items (X11 hands them out as longs).
std::vector<unsigned long> cardinals(Display *display, Window window, const char *name, Atom type)
{
    std::vector<unsigned long> values;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char *data = nullptr;
    const Atom property = XInternAtom(display, name, True);
    if (property == None)
        return values;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format, &count, &remaining,
                           &data) == Success &&
        data && format == 32) {
        const auto *items = reinterpret_cast<const unsigned long *>(data);
        values.assign(items, items + count);
    }
    if (data)
        XFree(data);
    return values;
}

QString windowClass(Display *display, Window window)
{
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return {};
    const QString cls = QString::fromLocal8Bit(hint.res_class ? hint.res_class : hint.res_name).toLower();
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return cls;
}

QString windowTitle(Display *display, Window window)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char *data = nullptr;
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", True);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", True);
    QString title;
    if (netName != None && utf8 != None &&
        XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &actualType, &format, &count, &remaining,
                           &data) == Success &&
        data && format == 8) {
        title = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(count));
    }
    if (data)
        XFree(data);
    if (title.isEmpty()) {
        char *name = nullptr;
        if (XFetchName(display, window, &name) && name) {
            title = QString::fromLocal8Bit(name);
            XFree(name);
        }
    }
    return title;
}

// The window itself or its nearest ancestor that carries WM_CLASS (the
// application's top-level), stopping at the root.
Window clientWindow(Display *display, Window window)
{
    const Window root = DefaultRootWindow(display);
    for (int depth = 0; window && window != root && depth < 16; ++depth) {
        if (!windowClass(display, window).isEmpty())
            return window;
        Window rootReturn = 0, parent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &rootReturn, &parent, &children, &count))
            return 0;
        if (children)
            XFree(children);
        window = parent;
    }
    return 0;
}

// Top-level application windows: the window manager's list, or the root's
// children (and theirs) when no window manager runs.
std::vector<Window> applicationWindows(Display *display)
{
    const Window root = DefaultRootWindow(display);
    std::vector<Window> windows;
    for (unsigned long w : cardinals(display, root, "_NET_CLIENT_LIST", XA_WINDOW))
        windows.push_back(static_cast<Window>(w));
    if (!windows.empty())
        return windows;
    Window rootReturn = 0, parent = 0;
    Window *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children) {
        for (unsigned i = 0; i < count; ++i)
            windows.push_back(children[i]);
        XFree(children);
    }
    return windows;
}

} // namespace

std::optional<FrontmostApplication> DesktopWorkspace::frontmostApplication() const
{
    if (m_wayland) {
        const auto window = m_wayland->activeToplevel();
        if (!window || window->appID.isEmpty())
            return std::nullopt;
        return FrontmostApplication{window->appID.toLower(), 0, window->title};
    }
    Display *display = m_display.get();
    if (!display)
        return std::nullopt;
    // The active window may be destroyed while we read its properties.
    XErrorTrap trap(display);
    Window window = 0;
    const auto active = cardinals(display, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!active.empty() && active.front())
        window = static_cast<Window>(active.front());
    if (!window) {
        int revert = 0;
        XGetInputFocus(display, &window, &revert);
        if (window == PointerRoot || window == None)
            return std::nullopt;
    }
    window = clientWindow(display, window);
    if (!window)
        return std::nullopt;
    FrontmostApplication app;
    app.applicationID = windowClass(display, window);
    const auto pid = cardinals(display, window, "_NET_WM_PID", XA_CARDINAL);
    app.pid = pid.empty() ? 0 : static_cast<qint64>(pid.front());
    app.windowTitle = windowTitle(display, window);
    return app;
}

bool DesktopWorkspace::activate(const QString &applicationID)
{
    if (m_wayland)
        return m_wayland->activateToplevel(applicationID);
    Display *display = m_display.get();
    if (!display)
        return false;
    XErrorTrap trap(display);
    const Window root = DefaultRootWindow(display);
    const Atom netActive = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    const bool managed = !cardinals(display, root, "_NET_CLIENT_LIST", XA_WINDOW).empty();
    for (Window window : applicationWindows(display)) {
        const Window client = clientWindow(display, window);
        if (!client || windowClass(display, client) != applicationID)
            continue;
        if (managed) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = client;
            event.xclient.message_type = netActive;
            event.xclient.format = 32;
            event.xclient.data.l[0] = 2; // from a pager or tool, so the window manager obeys
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        } else {
            XRaiseWindow(display, client);
            XSetInputFocus(display, client, RevertToParent, CurrentTime);
        }
        // A window that vanished meanwhile was not activated.
        return trap.sync() == 0;
    }
    return false;
}

QString DesktopWorkspace::displayName(const QString &applicationID) const
{
    // The Name of an installed desktop entry whose StartupWMClass or file
    // name matches; otherwise the last dotted part of the id.
    for (const QString &dir : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        const QDir applications(dir);
        for (const QString &file : applications.entryList({QStringLiteral("*.desktop")}, QDir::Files)) {
            const QString base = file.chopped(8).toLower();
            QSettings entry(applications.filePath(file), QSettings::IniFormat);
            entry.beginGroup(QStringLiteral("Desktop Entry"));
            const QString wmClass = entry.value(QStringLiteral("StartupWMClass")).toString().toLower();
            if (base == applicationID || wmClass == applicationID) {
                const QString name = entry.value(QStringLiteral("Name")).toString();
                if (!name.isEmpty())
                    return name;
            }
        }
    }
    return Workspace::displayName(applicationID);
}

bool DesktopWorkspace::openURL(const QUrl &url)
{
    // xdg-open hands the URL to whatever the desktop has chosen as its browser
    // and works the same with or without a GUI application object.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return false;
    return QProcess::startDetached(opener, {url.toString(QUrl::FullyEncoded)});
}

} // namespace dravelin::nix
