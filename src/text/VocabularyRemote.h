#pragma once

#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"
#include "text/Vocabulary.h"

#include <QUrl>

namespace dravelin {

class Scheduler;

// The changes of an update; absent members are left as they are.
struct VocabularyUpdate
{
    std::optional<QString> term;
    std::optional<std::optional<QString>> replacement; // holding none: clear it (sent as null)
    std::optional<bool> isFavorite;
};

// The REST client of the vocabulary table (PostgREST conventions). Holds only
// values and long-lived references (the token source and sender outlive every
// service), so its calls may run on after the caller has gone.
class VocabularyRemote
{
public:
    VocabularyRemote(QUrl endpoint, QByteArray apiKey, TokenSource &tokens, AuthRequestSending &sender,
                     Scheduler &scheduler);

    template <typename T>
    using Result = QCoro::Task<Expected<T, VocabularyError>>;

    Result<std::vector<VocabularyTerm>> fetchAll() const;
    // The stored row, or none when the backend sent none back.
    Result<std::optional<VocabularyTerm>> insert(QString userId, QString term, std::optional<QString> replacement,
                                                 bool isFavorite) const;
    Result<std::optional<VocabularyTerm>> update(QUuid id, VocabularyUpdate changes) const;
    Result<bool> remove(QUuid id) const;

    // A reply body read as rows; exposed for tests.
    Expected<std::vector<VocabularyTerm>, VocabularyError> decodeRows(const QByteArray &body) const;

private:
    struct Call
    {
        QByteArray method;
        QList<QPair<QString, QString>> query;
        std::optional<json::Json> body;
        bool representation = false;
        int expected = 200;
    };
    Result<QByteArray> send(Call call) const;
    // Sends a call that answers with the row it wrote; none when it wrote none.
    Result<std::optional<VocabularyTerm>> sendForRow(Call call) const;

    QUrl m_endpoint;
    QByteArray m_apiKey;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    Scheduler &m_scheduler;
};

} // namespace dravelin
