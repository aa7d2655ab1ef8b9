#include "platform/linux/XErrorTrap.h"

#include "core/Log.h"

#include <X11/Xlib.h>

#include <mutex>

namespace dravelin::nix {

namespace {

// The innermost trap; traps nest, and the handler runs on the thread that
// made the failing request, so the chain is guarded.
std::mutex g_trapsMutex;
XErrorTrap *g_innermost = nullptr;
std::once_flag g_installed;

} // namespace

int handleXError(_XDisplay *display, void *raw)
{
    const auto *event = static_cast<XErrorEvent *>(raw);
    {
        std::lock_guard lock(g_trapsMutex);
        for (XErrorTrap *trap = g_innermost; trap; trap = trap->m_outer) {
            if (trap->m_display == display && event->serial >= trap->m_firstSerial) {
                if (trap->m_error == 0)
                    trap->m_error = event->error_code;
                return 0;
            }
        }
    }
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    logs::error(logs::app(), QStringLiteral("Ignored X error %1 (%2) of request %3.%4 on resource 0x%5")
                                 .arg(event->error_code)
                                 .arg(QString::fromLatin1(text))
                                 .arg(event->request_code)
                                 .arg(event->minor_code)
                                 .arg(event->resourceid, 0, 16));
    return 0;
}

namespace {

int xErrorHandler(Display *display, XErrorEvent *event)
{
    return handleXError(display, event);
}

} // namespace

void XErrorTrap::installHandler()
{
    std::call_once(g_installed, [] { XSetErrorHandler(xErrorHandler); });
}

XErrorTrap::XErrorTrap(_XDisplay *display) : m_display(display), m_firstSerial(display ? NextRequest(display) : 0)
{
    installHandler();
    std::lock_guard lock(g_trapsMutex);
    m_outer = g_innermost;
    g_innermost = this;
}

XErrorTrap::~XErrorTrap()
{
    // Errors of our requests may still be on their way; collect them here so
    // they never reach the process-wide handler as strays.
    if (m_display)
        XSync(m_display, False);
    std::lock_guard lock(g_trapsMutex);
    // Scoped traps end innermost first on one thread, but traps of two
    // threads may end in any order: unlink this one wherever it is.
    for (XErrorTrap **link = &g_innermost; *link; link = &(*link)->m_outer) {
        if (*link == this) {
            *link = m_outer;
            break;
        }
    }
}

int XErrorTrap::sync()
{
    if (m_display)
        XSync(m_display, False);
    return m_error;
}

} // namespace dravelin::nix
