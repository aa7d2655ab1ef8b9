// Xlib stays out of the test files: its macros (None, Bool, Status…) clash
// with Google Test's names.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace dravelin::test {

void pressShift(bool down)
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return;
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_Shift_L), down ? True : False, CurrentTime);
    XFlush(display);
    XCloseDisplay(display);
}

} // namespace dravelin::test
