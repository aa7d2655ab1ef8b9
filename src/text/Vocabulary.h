#pragma once

#include "core/Expected.h"
#include "core/Json.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>
#include <vector>

namespace dravelin {

class UserDefaults;

// One entry of the user's dictionary.
struct VocabularyTerm
{
    QUuid id;
    QString term;
    std::optional<QString> replacement;
    bool isFavorite = false;
    QDateTime createdAt;

    // The replacement trimmed; none when absent or blank.
    std::optional<QString> expansion() const;

    // The local JSON: "id", "term", "replacement" (omitted when absent),
    // "isFavorite", "createdAt" (seconds since 2001-01-01 00:00:00 UTC).
    json::Json toJson() const;
    static std::optional<VocabularyTerm> fromJson(const json::Json &json);

    bool operator==(const VocabularyTerm &) const = default;
};

// Why a vocabulary operation failed, with its user-facing text.
struct VocabularyError
{
    enum class Kind {
        invalid,
        decodingFailed,
        network,
        unexpectedStatus,
        notAuthenticated,
        unauthorized,
        forbidden,
        missingTable,
        empty,
        cancelled // a refresh replaced by a newer one; never shown
    };
    Kind kind = Kind::network;
    QString message; // invalid, decodingFailed, network
    int status = 0;  // unexpectedStatus
    QString body;    // unexpectedStatus: for logs only

    QString description() const;
    bool operator==(const VocabularyError &) const = default;
};

// Timestamps as the database writes them ("2026-01-01T09:00:00.123456+00:00").
namespace PostgrestTimestamp {
// None when absent, empty or not a timestamp.
std::optional<QDateTime> parse(const QString &text);
} // namespace PostgrestTimestamp

// Favourites first, then by term in localized case-insensitive order, equal
// terms older first.
void sortTerms(std::vector<VocabularyTerm> &terms);

namespace VocabularyWire {
// The spelling hints handed to recognition and cleanup: "term" or
// "term -> expansion", in list order, at most 80 characters each,
// de-duplicated without regard to case, at most 100.
QStringList keyterms(std::vector<VocabularyTerm> terms);
} // namespace VocabularyWire

inline const QString kActiveKeytermsKey = QStringLiteral("vocabulary.keyterms.active");

// The per-user cache in the settings store ("vocabulary.terms." + user id).
class VocabularyLocalStore
{
public:
    explicit VocabularyLocalStore(UserDefaults &defaults) : m_defaults(defaults) {}

    std::vector<VocabularyTerm> load(const QString &userId) const;
    void save(const std::vector<VocabularyTerm> &terms, const QString &userId);
    // Writes the keyterms of `terms`, or removes them when there are none.
    void publishSnapshot(const std::vector<VocabularyTerm> &terms);

private:
    UserDefaults &m_defaults;
};

} // namespace dravelin
