#pragma once

#include "platform/Accessibility.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>

#include <functional>
#include <map>

namespace dravelin::nix {

// The AT-SPI2 accessibility tree over D-Bus. The accessibility bus is found
// through org.a11y.Bus on the session bus; applications are matched to the
// frontmost window by process id. Every call has a 250 ms timeout.
class AtSpiInspector final : public QObject, public AccessibilityInspector
{
    Q_OBJECT
public:
    explicit AtSpiInspector(QObject *parent = nullptr);
    ~AtSpiInspector() override;

    QCoro::Task<bool> isAvailable() override;
    QCoro::Task<AccessibleLookup> focusedWindow(qint64 pid) override;
    QCoro::Task<AccessibleLookup> focusedElement(qint64 pid) override;
    QCoro::Task<bool> wake(qint64 pid) override;
    QCoro::Task<std::optional<bool>> pasteCommandEnabled(qint64 pid) override;

    struct Ref
    {
        QString service;
        QDBusObjectPath path;
    };

private:
    QCoro::Task<bool> connectBus();
    QCoro::Task<std::optional<Ref>> application(qint64 pid);
    QCoro::Task<std::optional<QList<Ref>>> children(Ref ref);
    QCoro::Task<std::optional<quint64>> states(Ref ref);
    QCoro::Task<std::optional<AccessibleElementInfo>> describe(Ref ref);
    QCoro::Task<std::optional<Ref>> parent(Ref ref);
    struct Search
    {
        std::optional<Ref> found;
        // Every node was looked at and answered in time: nothing found means
        // there is nothing (a slow or partial answer proves nothing).
        bool complete = false;
    };
    QCoro::Task<Search> activeWindow(Ref app);
    // Breadth first from root (bounded), for a node whose states satisfy match.
    QCoro::Task<Search> findNode(Ref root, std::function<bool(quint64)> match);

    std::optional<QDBusConnection> m_bus;
    QString m_connectionName;
};

} // namespace dravelin::nix
