#pragma once

#include "platform/GlobalHotkeys.h"
#include "platform/linux/X11Display.h"

#include <QObject>

#include <map>
#include <set>
#include <vector>

class QSocketNotifier;

namespace dravelin::nix {

// Global hotkeys as passive key grabs on the root window (XGrabKey), one for
// every combination of the lock modifiers (Caps Lock, Num Lock, Scroll Lock)
// so a hotkey works whatever lights are on. A grab another client already
// holds fails with BadAccess; the error is trapped and reported as `taken`.
// Events are read on the main thread from the connection's socket.
class X11HotkeyGrabber final : public QObject, public GlobalHotkeyGrabber
{
    Q_OBJECT
public:
    explicit X11HotkeyGrabber(QObject *parent = nullptr);
    ~X11HotkeyGrabber() override;

    bool isAvailable() const override { return static_cast<bool>(m_display); }
    GrabStatus grab(quint32 id, quint16 keyCode, quint32 modifiers) override;
    void ungrab(quint32 id) override;

private:
    struct Grab
    {
        unsigned keycode = 0;
        unsigned modifiers = 0;
    };
    std::vector<unsigned> lockVariants() const;
    void ungrabKey(const Grab &grab);
    void readEvents();

    X11Display m_display;
    QSocketNotifier *m_notifier = nullptr;
    std::map<quint32, Grab> m_grabs;
    std::set<quint32> m_held;
    unsigned m_numLockMask = 0;
    unsigned m_scrollLockMask = 0;
};

// Raw key events of every keyboard through XInput 2 on the root window: seen
// by us and still delivered to the focused application. Read on the main
// thread from the connection's socket.
class XInputRawKeys final : public QObject, public RawKeyEvents
{
    Q_OBJECT
public:
    explicit XInputRawKeys(QObject *parent = nullptr);
    ~XInputRawKeys() override;

    bool isAvailable() const override { return m_opcode >= 0; }
    bool start() override;
    void stop() override;
    bool isRunning() const override { return m_running; }

private:
    void select(bool on);
    void readEvents();

    X11Display m_display;
    QSocketNotifier *m_notifier = nullptr;
    int m_opcode = -1;
    bool m_running = false;
};

} // namespace dravelin::nix
