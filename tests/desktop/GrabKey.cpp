// Holds a global key grab the way another application would, so the desktop
// tests can see how Dravelin copes with a shortcut that is already taken.
//   dravelin_test_grab KEYSYM MODIFIERS   (e.g. space 5 = Ctrl+Shift+Space)
// Prints "grabbed" (or "refused") and keeps the grab until standard input closes.

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym(argv[1]));
    const auto modifiers = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0));
    XGrabKey(display, key, modifiers, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
    std::printf("grabbed\n");
    std::fflush(stdout);
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    XCloseDisplay(display);
    return 0;
}
