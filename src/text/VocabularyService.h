#pragma once

#include "core/Tasks.h"
#include "text/Vocabulary.h"
#include "text/VocabularyRemote.h"

#include <QObject>

namespace dravelin {

class UserDefaults;

// The user's dictionary as the screens and the account flow see it: the
// signed-in user's terms, mirrored locally so they are there at once after
// launch and offline, refreshed from the backend, changed on the backend
// first (no optimistic updates). Every change rewrites the local copy and
// the keyterms under "vocabulary.keyterms.active". Nothing here throws:
// failures land in lastError().
class VocabularyService : public QObject
{
    Q_OBJECT
public:
    VocabularyService(VocabularyRemote remote, UserDefaults &defaults, QObject *parent = nullptr);

    const std::vector<VocabularyTerm> &terms() const { return m_terms; }
    bool isLoading() const { return m_isLoading; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    std::optional<QString> userId() const { return m_userId; }

    // The signed-in user changed (sign-in, sign-out, launch).
    void switchTo(std::optional<QString> userId);
    // Reloads from the backend in the background, replacing a running reload.
    void refresh();
    QCoro::Task<> load(std::stop_token stop = {});

    QCoro::Task<> add(QString term, std::optional<QString> replacement);
    QCoro::Task<> update(QUuid id, QString term, std::optional<QString> replacement);
    QCoro::Task<> toggleFavorite(QUuid id);
    QCoro::Task<> remove(QUuid id);

    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void termsChanged();
    void isLoadingChanged();
    void lastErrorChanged();

private:
    void apply(std::vector<VocabularyTerm> terms, bool persist);
    void setLoading(bool loading);
    void setLastError(std::optional<QString> error);
    void report(const VocabularyError &error, const QString &action);
    // Puts `row` in place of the term with its id (in front when `prepend`).
    void replaceTerm(const VocabularyTerm &row, bool prepend);
    QCoro::Task<> sendUpdate(QUuid id, VocabularyUpdate changes, QString action);

    VocabularyRemote m_remote;
    VocabularyLocalStore m_store;
    std::vector<VocabularyTerm> m_terms;
    bool m_isLoading = false;
    std::optional<QString> m_lastError;
    std::optional<QString> m_userId;
    CancellableSlot m_refresh;
    TaskTracker m_tasks;
};

} // namespace dravelin
