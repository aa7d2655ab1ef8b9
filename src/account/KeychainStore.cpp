#include "account/KeychainStore.h"

#include "core/Log.h"

#include <qt6keychain/keychain.h>

#include <qcoro/qcorosignal.h>

#include <chrono>
#include <memory>

namespace dravelin {

namespace {

// A locked keyring may ask the user to unlock it; give them time, but not
// forever: a prompt nobody answers counts as no keyring for this run.
constexpr std::chrono::seconds kJobTimeout{60};

// True when the error means there is no secret store to talk to, as opposed to
// a refused or failed operation on one that exists.
bool meansNoStore(const QKeychain::Job &job)
{
    if (job.error() == QKeychain::NoBackendAvailable || job.error() == QKeychain::NotImplemented)
        return true;
    const QString text = job.errorString();
    return job.error() == QKeychain::OtherError &&
           (text.contains(QLatin1String("ServiceUnknown")) || text.contains(QLatin1String("secrets")) ||
            text.contains(QLatin1String("D-Bus")) || text.contains(QLatin1String("DBus")) ||
            text.contains(QLatin1String("autolaunch")) || text.contains(QLatin1String("No such")));
}

QString describe(const QKeychain::Job &job)
{
    return QStringLiteral("%1 (%2)").arg(job.errorString()).arg(static_cast<int>(job.error()));
}

// Starts a job and waits for it; false when it never finished. A job that
// times out is left to delete itself whenever its D-Bus call ends, so no
// callback can reach a destroyed job.
template <typename JobT>
QCoro::Task<bool> run(std::unique_ptr<JobT> &job)
{
    job->setAutoDelete(false);
    job->start();
    const auto finished = co_await qCoro(job.get(), &QKeychain::Job::finished, kJobTimeout);
    if (finished)
        co_return true;
    job.release()->setAutoDelete(true);
    co_return false;
}

} // namespace

KeychainStore::KeychainStore(QObject *parent) : QObject(parent) {}

KeychainStore::~KeychainStore() = default;

void KeychainStore::noteReached()
{
    if (m_health.state == StoreHealth::State::available)
        return;
    m_health = {StoreHealth::State::available, {}};
    Q_EMIT healthChanged();
}

void KeychainStore::noteUnreachable(const QString &problem)
{
    const StoreHealth health{StoreHealth::State::unavailable,
                             QStringLiteral("No secret store (keyring) is available: %1").arg(problem)};
    if (health == m_health)
        return;
    m_health = health;
    logs::error(logs::keychain(),
                QStringLiteral("Keychain unavailable; sign-in will not be remembered after quitting: %1").arg(problem));
    Q_EMIT healthChanged();
}

QCoro::Task<std::optional<QString>> KeychainStore::string(QString key)
{
    auto turn = m_turns.take();
    if (turn.previous)
        co_await turn.previous->wait();
    const auto ticket = turn.ticket();

    auto job = std::make_unique<QKeychain::ReadPasswordJob>(QString::fromLatin1(kService));
    job->setKey(key);
    if (!co_await run(job)) {
        logs::error(logs::keychain(), QStringLiteral("Keychain read failed for %1: timed out").arg(key));
        co_return std::nullopt;
    }
    if (job->error() == QKeychain::NoError) {
        noteReached();
        co_return job->textData();
    }
    if (job->error() == QKeychain::EntryNotFound) {
        noteReached();
        co_return std::nullopt;
    }
    if (meansNoStore(*job)) {
        // Said once for the whole store, not again for every key.
        const bool known = m_health.state == StoreHealth::State::unavailable;
        noteUnreachable(job->errorString());
        if (known)
            co_return std::nullopt;
    }
    logs::error(logs::keychain(), QStringLiteral("Keychain read failed for %1: %2").arg(key, describe(*job)));
    co_return std::nullopt;
}

QCoro::Task<bool> KeychainStore::setString(QString value, QString key)
{
    auto turn = m_turns.take();
    if (turn.previous)
        co_await turn.previous->wait();
    const auto ticket = turn.ticket();

    auto job = std::make_unique<QKeychain::WritePasswordJob>(QString::fromLatin1(kService));
    job->setKey(key);
    job->setTextData(value);
    if (!co_await run(job)) {
        logs::error(logs::keychain(), QStringLiteral("Keychain write failed for %1: timed out").arg(key));
        noteUnreachable(QStringLiteral("it did not answer within %1 s (is it locked?)").arg(kJobTimeout.count()));
        co_return false;
    }
    if (job->error() == QKeychain::NoError) {
        noteReached();
        co_return true;
    }
    if (meansNoStore(*job))
        noteUnreachable(job->errorString());
    logs::error(logs::keychain(), QStringLiteral("Keychain write failed for %1: %2").arg(key, describe(*job)));
    co_return false;
}

QCoro::Task<> KeychainStore::remove(QString key)
{
    auto turn = m_turns.take();
    if (turn.previous)
        co_await turn.previous->wait();
    const auto ticket = turn.ticket();

    auto job = std::make_unique<QKeychain::DeletePasswordJob>(QString::fromLatin1(kService));
    job->setKey(key);
    co_await run(job);
}

QCoro::Task<std::optional<QString>> InMemorySessionStore::string(QString key)
{
    const auto it = items.find(key);
    co_return it == items.end() ? std::nullopt : std::optional<QString>(it->second);
}

QCoro::Task<bool> InMemorySessionStore::setString(QString value, QString key)
{
    if (failWrites)
        co_return false;
    items[key] = value;
    co_return true;
}

QCoro::Task<> InMemorySessionStore::remove(QString key)
{
    items.erase(key);
    co_return;
}

StoreHealth InMemorySessionStore::health() const
{
    if (failWrites)
        return {StoreHealth::State::unavailable, QStringLiteral("writes refused")};
    return {StoreHealth::State::available, {}};
}

} // namespace dravelin
