#pragma once

#include "platform/GlobalHotkeys.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <map>

namespace dravelin::nix {

// Global shortcuts through the desktop portal's GlobalShortcuts interface,
// where a Wayland desktop offers it (KDE Plasma 5.27 and later, GNOME 48 and
// later): the desktop owns the keys and tells Dravelin when a shortcut goes
// down and up, so hold-to-talk works as on X11.
//
// Grabs are collected and bound together, a moment after the last change (the
// portal binds a whole list at once). The desktop may show the user the list
// to confirm or change the keys: what it finally assigned is logged. Without
// the portal, isAvailable() turns false and the reason is logged once; the
// D-Bus control (`dravelin --toggle`) still works.
class PortalGlobalShortcuts final : public QObject, public GlobalHotkeyGrabber
{
    Q_OBJECT
public:
    explicit PortalGlobalShortcuts(QDBusConnection bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);

    bool isAvailable() const override { return m_state != State::absent; }
    GrabStatus grab(quint32 id, quint16 keyCode, quint32 modifiers) override;
    void ungrab(quint32 id) override;

    // The portal's trigger for a binding ("CTRL+SHIFT+space"), or nothing for
    // a key it cannot name.
    static std::optional<QString> triggerFor(quint16 keyCode, quint32 modifiers);
    // What the desktop assigned, per id, once bound ("Ctrl+Shift+Space").
    const std::map<quint32, QString> &assigned() const { return m_assigned; }

Q_SIGNALS:
    // The session is up and the current grabs are bound (or binding failed).
    void bound(bool ok);

private Q_SLOTS:
    void onSessionCreated(uint response, const QVariantMap &results);
    void onBound(uint response, const QVariantMap &results);
    // Signals taken whole: QtDBus will not match a slot that takes an object path.
    void onActivated(const QDBusMessage &signal);
    void onDeactivated(const QDBusMessage &signal);

private:
    enum class State {
        probing,
        creating,
        ready,
        absent
    };
    void createSession();
    void scheduleBind();
    void bindNow();
    // Calls `method` with a fresh request token; `slot` receives its Response.
    void callWithRequest(const QString &method, QList<QVariant> arguments, QVariantMap options, const char *slot);
    void giveUp(const QString &why);
    std::optional<quint32> idOf(const QDBusMessage &signal) const;

    QDBusConnection m_bus;
    State m_state = State::probing;
    QString m_session; // object path
    std::map<quint32, QString> m_triggers;
    std::map<quint32, QString> m_assigned;
    bool m_bindScheduled = false;
    bool m_binding = false;
    bool m_rebind = false;
    int m_tokens = 0;
};

} // namespace dravelin::nix
