#pragma once

struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace dravelin::nix {

// Catches the X protocol errors raised by the requests made on one display
// while it lives, instead of Xlib's default handler, which prints and exits
// the process. A window can vanish between any two requests (the user closes
// the application being dictated into), so every call that names a window
// not our own runs inside a trap.
//
// Errors that arrive outside any trap are logged and ignored; installHandler()
// makes that the process-wide rule and is called once at start-up by every
// program that talks to X.
class XErrorTrap
{
public:
    explicit XErrorTrap(_XDisplay *display);
    ~XErrorTrap();
    XErrorTrap(const XErrorTrap &) = delete;
    XErrorTrap &operator=(const XErrorTrap &) = delete;

    // Waits for the server to answer the requests made so far and returns the
    // first error code they raised (0: none).
    int sync();
    // The first error code caught so far without syncing (0: none).
    int error() const { return m_error; }

    static void installHandler();

private:
    friend int handleXError(_XDisplay *, void *);
    _XDisplay *m_display;
    unsigned long m_firstSerial;
    int m_error = 0;
    XErrorTrap *m_outer;
};

} // namespace dravelin::nix
