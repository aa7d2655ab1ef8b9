#include "platform/PlatformCheck.h"

#include "platform/linux/DesktopRoads.h"
#include "platform/linux/XkbKeyboardLayout.h"
#include "platform/linux/wayland/WaylandSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <X11/Xlib.h>
#include <pulse/pulseaudio.h>

namespace dravelin {

namespace {

PlatformReport::Facility checkDisplay()
{
    PlatformReport::Facility f{QStringLiteral("X display"), false, {}};
    const QString name = qEnvironmentVariable("DISPLAY");
    if (name.isEmpty()) {
        f.detail = QStringLiteral("DISPLAY is not set (Dravelin's own shortcuts need an X11 session or XWayland)");
        return f;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        f.detail = QStringLiteral("cannot open display %1").arg(name);
        return f;
    }
    QStringList missing;
    int opcode = 0, event = 0, error = 0;
    for (const char *extension : {"XTEST", "XInputExtension", "XFIXES"}) {
        if (!XQueryExtension(display, extension, &opcode, &event, &error))
            missing << QString::fromLatin1(extension);
    }
    f.available = missing.isEmpty();
    f.detail = missing.isEmpty() ? QStringLiteral("%1 (XTEST, XInput, XFIXES present)").arg(name)
                                 : QStringLiteral("%1 lacks %2").arg(name, missing.join(QStringLiteral(", ")));
    XCloseDisplay(display);
    return f;
}

// A Wayland display, and the roads its compositor offers for typing and the
// clipboard: what Dravelin can do there, and what the user can do about it.
PlatformReport::Facility checkWaylandDisplay()
{
    PlatformReport::Facility f{QStringLiteral("Wayland display"), false, {}};
    const QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
    const auto session = nix::WaylandSession::connect();
    if (!session) {
        f.detail = QStringLiteral("cannot connect to %1").arg(name);
        return f;
    }
    nix::DesktopOffers offers;
    offers.x11Display = !qEnvironmentVariableIsEmpty("DISPLAY");
    offers.virtualKeyboard = session->virtualKeyboards() && session->seat();
    offers.dataControl = session->dataControl() && session->seat();
    const auto choice = nix::chooseRoads(nix::SessionType::wayland, offers);
    f.available = true;
    f.detail = QStringLiteral("%1 — %2").arg(name, nix::describe(nix::SessionType::wayland, choice));
    if (choice.keys != nix::KeysRoad::virtualKeyboard)
        f.detail += QStringLiteral(". This compositor lets no application type or set the clipboard in the "
                                   "background: dictations open a panel with the text to copy");
    return f;
}

struct PulseProbe
{
    bool done = false;
    QString server;
    QString defaultSource;
};

PlatformReport::Facility checkSoundServer(int timeoutMs)
{
    PlatformReport::Facility f{QStringLiteral("Sound server"), false, {}};
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "dravelin-check");
    PulseProbe probe;
    QElapsedTimer clock;
    clock.start();
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        f.detail = QStringLiteral("no sound server: %1").arg(QString::fromUtf8(pa_strerror(pa_context_errno(context))));
    } else {
        bool asked = false;
        while (!probe.done && clock.elapsed() < timeoutMs) {
            const int remainingUs = static_cast<int>(std::max<qint64>(0, timeoutMs - clock.elapsed()) * 1000);
            if (pa_mainloop_prepare(loop, remainingUs) < 0 || pa_mainloop_poll(loop) < 0 ||
                pa_mainloop_dispatch(loop) < 0)
                break;
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
                f.detail = QStringLiteral("no sound server: %1")
                               .arg(QString::fromUtf8(pa_strerror(pa_context_errno(context))));
                break;
            }
            if (state == PA_CONTEXT_READY && !asked) {
                asked = true;
                pa_operation *op = pa_context_get_server_info(
                    context,
                    [](pa_context *, const pa_server_info *info, void *userdata) {
                        auto *p = static_cast<PulseProbe *>(userdata);
                        if (info) {
                            p->server = QStringLiteral("%1 %2").arg(QString::fromUtf8(info->server_name),
                                                                    QString::fromUtf8(info->server_version));
                            p->defaultSource =
                                QString::fromUtf8(info->default_source_name ? info->default_source_name : "");
                        }
                        p->done = true;
                    },
                    &probe);
                if (op)
                    pa_operation_unref(op);
            }
        }
        if (probe.done) {
            f.available = true;
            f.detail = probe.defaultSource.isEmpty()
                           ? QStringLiteral("%1, no default input").arg(probe.server)
                           : QStringLiteral("%1, default input %2").arg(probe.server, probe.defaultSource);
        } else if (f.detail.isEmpty()) {
            f.detail = QStringLiteral("the sound server did not answer within %1 ms").arg(timeoutMs);
        }
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return f;
}

PlatformReport::Facility checkSoundTheme()
{
    const QString dir = QStringLiteral("/usr/share/sounds/freedesktop/stereo");
    const bool ok = QFileInfo(dir).isDir();
    return {QStringLiteral("Sound theme"), ok, ok ? dir : QStringLiteral("freedesktop sound theme not installed")};
}

PlatformReport::Facility checkKeyboardLayout()
{
    auto layout = nix::XkbKeyboardLayout::fromSession();
    return {QStringLiteral("Keyboard layout"), layout->isLoaded(), layout->source()};
}

} // namespace

bool PlatformReport::isAvailable(const QString &name) const
{
    for (const auto &f : facilities) {
        if (f.name == name)
            return f.available;
    }
    return false;
}

QString PlatformReport::format() const
{
    QString out;
    for (const auto &f : facilities)
        out += QStringLiteral("  %1 %2: %3\n")
                   .arg(f.available ? QStringLiteral("[ok]     ") : QStringLiteral("[missing]"), f.name, f.detail);
    return out;
}

PlatformReport checkPlatform(int timeoutMs)
{
    PlatformReport report;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        report.facilities << checkWaylandDisplay();
    report.facilities << checkDisplay() << checkSoundServer(timeoutMs) << checkSoundTheme() << checkKeyboardLayout();
    return report;
}

} // namespace dravelin
