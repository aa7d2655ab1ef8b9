#include "text/Vocabulary.h"

#include "account/BackendError.h"
#include "core/Log.h"
#include "core/UserDefaults.h"

#include <QCollator>
#include <QSet>

#include <algorithm>

namespace dravelin {

namespace {

// 2001-01-01 00:00:00 UTC, the origin of the local date encoding.
const qint64 kReferenceMs = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
constexpr qsizetype kMaxKeytermLength = 80;
constexpr qsizetype kMaxKeyterms = 100;

QString termsKey(const QString &userId)
{
    return QStringLiteral("vocabulary.terms.") + userId;
}

} // namespace

std::optional<QString> VocabularyTerm::expansion() const
{
    if (!replacement)
        return std::nullopt;
    const QString trimmed = replacement->trimmed();
    return trimmed.isEmpty() ? std::nullopt : std::optional<QString>(trimmed);
}

json::Json VocabularyTerm::toJson() const
{
    json::Json j;
    j["id"] = id.toString(QUuid::WithoutBraces).toUpper();
    j["term"] = term;
    json::putOptional(j, "replacement", replacement);
    j["isFavorite"] = isFavorite;
    j["createdAt"] = static_cast<double>(createdAt.toMSecsSinceEpoch() - kReferenceMs) / 1000.0;
    return j;
}

std::optional<VocabularyTerm> VocabularyTerm::fromJson(const json::Json &j)
{
    const auto id = json::optionalField<QString>(j, "id");
    const auto term = json::optionalField<QString>(j, "term");
    const auto favorite = json::optionalField<bool>(j, "isFavorite");
    const auto created = json::optionalField<double>(j, "createdAt");
    if (!id || QUuid::fromString(*id).isNull() || !term || !favorite || !created)
        return std::nullopt;
    return VocabularyTerm{QUuid::fromString(*id), *term, json::optionalField<QString>(j, "replacement"), *favorite,
                          QDateTime::fromMSecsSinceEpoch(kReferenceMs + qRound64(*created * 1000.0), Qt::UTC)};
}

QString VocabularyError::description() const
{
    switch (kind) {
    case Kind::invalid:
        return QStringLiteral("Couldn't save that: ") + message;
    // The failures every backend client shares read the same everywhere.
    case Kind::decodingFailed:
        return BackendError::decoding(message).description();
    case Kind::network:
        return BackendError::networkError(message).description();
    case Kind::unexpectedStatus:
        return BackendError::unexpected(status, body).description();
    case Kind::notAuthenticated:
        return BackendError::notSignedIn().description();
    case Kind::unauthorized:
        return BackendError::sessionExpired().description();
    case Kind::forbidden:
        return QStringLiteral("That term belongs to another account");
    case Kind::missingTable:
        return QStringLiteral("Vocabulary isn't available yet");
    case Kind::empty:
        return QStringLiteral("Type a word to add");
    case Kind::cancelled:
        return QStringLiteral("cancelled");
    }
    return {};
}

std::optional<QDateTime> PostgrestTimestamp::parse(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    // Qt's ISO reader takes the fraction to milliseconds, with or without one.
    // An internet date-time carries its offset ("Z" or "+hh:mm").
    auto read = [](const QString &t) -> std::optional<QDateTime> {
        const bool zoned =
            t.endsWith(u'Z') || (t.size() > 19 && (t.at(t.size() - 6) == u'+' || t.at(t.size() - 6) == u'-'));
        const QDateTime d = QDateTime::fromString(t, Qt::ISODateWithMs);
        if (!zoned || !d.isValid())
            return std::nullopt;
        return d.toUTC();
    };
    if (auto parsed = read(text))
        return parsed;
    // The database writes six fractional digits: drop the fraction.
    const qsizetype dot = text.indexOf(u'.');
    if (dot < 0)
        return std::nullopt;
    qsizetype sign = -1;
    for (qsizetype i = dot + 1; i < text.size(); ++i) {
        if (text[i] == u'+' || text[i] == u'-' || text[i] == u'Z') {
            sign = i;
            break;
        }
    }
    if (sign < 0)
        return std::nullopt;
    return read(text.left(dot) + text.mid(sign));
}

void sortTerms(std::vector<VocabularyTerm> &terms)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(terms.begin(), terms.end(), [&](const VocabularyTerm &a, const VocabularyTerm &b) {
        if (a.isFavorite != b.isFavorite)
            return a.isFavorite;
        if (const int c = collator.compare(a.term, b.term))
            return c < 0;
        return a.createdAt < b.createdAt;
    });
}

QStringList VocabularyWire::keyterms(std::vector<VocabularyTerm> terms)
{
    sortTerms(terms);
    QStringList out;
    QSet<QString> taken;
    for (const VocabularyTerm &t : terms) {
        const auto expansion = t.expansion();
        const QString entry = (expansion ? t.term + QStringLiteral(" -> ") + *expansion : t.term).trimmed();
        if (entry.isEmpty() || entry.size() > kMaxKeytermLength || taken.contains(entry.toLower()))
            continue;
        taken.insert(entry.toLower());
        out << entry;
        if (out.size() == kMaxKeyterms)
            break;
    }
    return out;
}

std::vector<VocabularyTerm> VocabularyLocalStore::load(const QString &userId) const
{
    std::vector<VocabularyTerm> terms;
    const auto data = m_defaults.data(termsKey(userId));
    if (!data)
        return terms;
    const auto parsed = json::parse(*data);
    if (!parsed || !parsed->is_array()) {
        logs::error(logs::vocabularyStore(), QStringLiteral("Cached vocabulary is unreadable; starting empty"));
        return terms;
    }
    for (const auto &item : *parsed) {
        if (auto term = VocabularyTerm::fromJson(item))
            terms.push_back(std::move(*term));
    }
    return terms;
}

void VocabularyLocalStore::save(const std::vector<VocabularyTerm> &terms, const QString &userId)
{
    json::Json array = json::Json::array();
    for (const auto &t : terms)
        array.push_back(t.toJson());
    m_defaults.set(termsKey(userId), json::encode(array));
}

void VocabularyLocalStore::publishSnapshot(const std::vector<VocabularyTerm> &terms)
{
    const QStringList keyterms = VocabularyWire::keyterms(terms);
    if (keyterms.isEmpty())
        m_defaults.remove(kActiveKeytermsKey);
    else
        m_defaults.set(kActiveKeytermsKey, keyterms);
}

} // namespace dravelin
