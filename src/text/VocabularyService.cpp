#include "text/VocabularyService.h"

#include "core/Log.h"
#include "core/UserDefaults.h"

#include <QPointer>

namespace dravelin {

namespace {

void logInfo(const QString &m)
{
    logs::info(logs::vocabulary(), m);
}

std::optional<QString> normalised(const std::optional<QString> &replacement)
{
    if (!replacement || replacement->trimmed().isEmpty())
        return std::nullopt;
    return replacement->trimmed();
}

const VocabularyError kEmpty{VocabularyError::Kind::empty, {}, 0, {}};
const VocabularyError kNotSignedIn{VocabularyError::Kind::notAuthenticated, {}, 0, {}};

} // namespace

VocabularyService::VocabularyService(VocabularyRemote remote, UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_remote(std::move(remote))
    , m_store(defaults)
{}

void VocabularyService::switchTo(std::optional<QString> userId)
{
    m_refresh.cancel();
    setLastError(std::nullopt);
    setLoading(false);
    if (userId && !userId->isEmpty()) {
        m_userId = userId;
        auto cached = m_store.load(*userId);
        const auto count = static_cast<qint64>(cached.size());
        apply(std::move(cached), false);
        logInfo(QStringLiteral("Vocabulary attached — %1 local term(s)").arg(count));
        refresh();
        return;
    }
    m_userId.reset();
    m_terms.clear();
    Q_EMIT termsChanged();
    m_store.publishSnapshot({});
    logInfo(QStringLiteral("Vocabulary detached (signed out)"));
}

void VocabularyService::refresh()
{
    m_tasks.track(load(m_refresh.renew()));
}

QCoro::Task<> VocabularyService::load(std::stop_token stop)
{
    if (!m_userId)
        co_return;
    QPointer<VocabularyService> self(this);
    const QString user = *m_userId;
    setLoading(true);
    auto rows = co_await m_remote.fetchAll();
    if (!self || stop.stop_requested() || m_userId != user)
        co_return; // replaced by a newer refresh or another user
    if (rows) {
        const auto count = static_cast<qint64>(rows->size());
        apply(std::move(rows.value()), true);
        setLastError(std::nullopt);
        logInfo(QStringLiteral("Loaded %1 vocabulary term(s)").arg(count));
    } else {
        report(rows.error(), QStringLiteral("loading"));
    }
    setLoading(false);
}

QCoro::Task<> VocabularyService::add(QString term, std::optional<QString> replacement)
{
    const QString trimmed = term.trimmed();
    if (trimmed.isEmpty()) {
        setLastError(kEmpty.description());
        co_return;
    }
    if (!m_userId) {

        setLastError(kNotSignedIn.description());
        co_return;
    }
    QPointer<VocabularyService> self(this);
    const QString user = *m_userId;
    auto row = co_await m_remote.insert(user, trimmed, normalised(replacement), false);
    if (!self || m_userId != user)
        co_return;
    if (row && !*row)
        row = Unexpected{
            VocabularyError{VocabularyError::Kind::decodingFailed, QStringLiteral("insert returned no row"), 0, {}}};
    if (!row) {
        report(row.error(), QStringLiteral("adding"));
        co_return;
    }
    replaceTerm(**row, true);
    logInfo(QStringLiteral("Added vocabulary term (%1 chars)").arg(trimmed.size()));
}

QCoro::Task<> VocabularyService::update(QUuid id, QString term, std::optional<QString> replacement)
{
    const QString trimmed = term.trimmed();
    if (trimmed.isEmpty()) {
        setLastError(kEmpty.description());
        co_return;
    }
    const std::optional<QString> normal = normalised(replacement);
    VocabularyUpdate changes{trimmed, std::optional<std::optional<QString>>(normal), std::nullopt};
    co_await sendUpdate(id, std::move(changes), QStringLiteral("updating"));
}

QCoro::Task<> VocabularyService::toggleFavorite(QUuid id)
{
    const auto it = std::find_if(m_terms.begin(), m_terms.end(), [&](const auto &t) { return t.id == id; });
    if (it == m_terms.end())
        co_return;
    VocabularyUpdate changes{std::nullopt, std::nullopt, !it->isFavorite};
    co_await sendUpdate(id, std::move(changes), QStringLiteral("starring"));
}

QCoro::Task<> VocabularyService::sendUpdate(QUuid id, VocabularyUpdate changes, QString action)
{
    QPointer<VocabularyService> self(this);
    const auto user = m_userId;
    auto row = co_await m_remote.update(id, std::move(changes));
    if (!self || m_userId != user)
        co_return;
    if (row && !*row)
        row = Unexpected{
            VocabularyError{VocabularyError::Kind::decodingFailed, QStringLiteral("update matched no row"), 0, {}}};
    if (!row) {
        report(row.error(), action);
        co_return;
    }
    replaceTerm(**row, false);
}

QCoro::Task<> VocabularyService::remove(QUuid id)
{
    QPointer<VocabularyService> self(this);
    const auto user = m_userId;
    const auto done = co_await m_remote.remove(id);
    if (!self || m_userId != user)
        co_return;
    if (!done) {
        report(done.error(), QStringLiteral("deleting"));
        co_return;
    }
    auto terms = m_terms;
    std::erase_if(terms, [&](const auto &t) { return t.id == id; });
    apply(std::move(terms), true);
    logInfo(QStringLiteral("Deleted vocabulary term"));
}

void VocabularyService::replaceTerm(const VocabularyTerm &row, bool prepend)
{
    auto terms = m_terms;
    if (prepend) {
        std::erase_if(terms, [&](const auto &t) { return t.id == row.id; });
        terms.insert(terms.begin(), row);
    } else {
        for (auto &t : terms) {
            if (t.id == row.id)
                t = row;
        }
    }
    apply(std::move(terms), true);
}

void VocabularyService::apply(std::vector<VocabularyTerm> terms, bool persist)
{
    sortTerms(terms);
    m_terms = std::move(terms);
    Q_EMIT termsChanged();
    if (persist && m_userId)
        m_store.save(m_terms, *m_userId);
    m_store.publishSnapshot(m_terms);
}

void VocabularyService::setLoading(bool loading)
{
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    Q_EMIT isLoadingChanged();
}

void VocabularyService::setLastError(std::optional<QString> error)
{
    if (m_lastError == error)
        return;
    m_lastError = std::move(error);
    Q_EMIT lastErrorChanged();
}

void VocabularyService::report(const VocabularyError &error, const QString &action)
{
    if (error.kind == VocabularyError::Kind::cancelled)
        return;
    setLastError(error.description());
    logs::error(logs::vocabulary(), QStringLiteral("Vocabulary %1 failed: %2").arg(action, error.description()));
}

} // namespace dravelin
