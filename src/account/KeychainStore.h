#pragma once

#include "core/AsyncEvent.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <map>
#include <optional>

namespace dravelin {

// Whether the secure store can keep anything beyond this run.
struct StoreHealth
{
    enum class State {
        unknown,    // not used yet
        available,  // the last operation reached the store
        unavailable // no secret store answered; sessions live only in memory
    };
    State state = State::unknown;
    QString problem; // why, when unavailable

    bool operator==(const StoreHealth &) const = default;
};

// A secure string store, one value per key. Operations run one after another
// in the order they were started.
class AuthSessionStoring
{
public:
    virtual ~AuthSessionStoring() = default;
    // Nothing when the key is missing or the store cannot be read.
    virtual QCoro::Task<std::optional<QString>> string(QString key) = 0;
    // True only when the value was stored.
    virtual QCoro::Task<bool> setString(QString value, QString key) = 0;
    virtual QCoro::Task<> remove(QString key) = 0;
    virtual StoreHealth health() const = 0;
};

// The desktop's secret store (the Secret Service on Linux) through qtkeychain,
// under the service "com.dravelin.mac". Never falls back to plain files: when
// no secret store runs, writes fail, `health()` says why and the failure is
// logged.
class KeychainStore final : public QObject, public AuthSessionStoring
{
    Q_OBJECT
public:
    static constexpr const char *kService = "com.dravelin.mac";

    explicit KeychainStore(QObject *parent = nullptr);
    ~KeychainStore() override;

    QCoro::Task<std::optional<QString>> string(QString key) override;
    QCoro::Task<bool> setString(QString value, QString key) override;
    QCoro::Task<> remove(QString key) override;
    StoreHealth health() const override { return m_health; }

Q_SIGNALS:
    void healthChanged();

private:
    void noteReached();
    void noteUnreachable(const QString &problem);

    AsyncTurnstile m_turns;
    StoreHealth m_health;
};

// For tests and for runs that must not touch the user's keyring.
class InMemorySessionStore final : public AuthSessionStoring
{
public:
    QCoro::Task<std::optional<QString>> string(QString key) override;
    QCoro::Task<bool> setString(QString value, QString key) override;
    QCoro::Task<> remove(QString key) override;
    StoreHealth health() const override;

    std::map<QString, QString> items;
    bool failWrites = false; // simulates a store that refuses writes
};

} // namespace dravelin
