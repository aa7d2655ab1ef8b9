#include "text/AssistantResponse.h"

#include "account/BackendError.h"
#include "core/Json.h"

#include <QHash>
#include <QUrlQuery>

namespace dravelin {

namespace {

constexpr qsizetype kMaxReplyBytes = 1024 * 1024;
constexpr qsizetype kMaxSources = 20;

AssistantError failure(AssistantError::Kind kind, QString message = {})
{
    return {kind, std::move(message), 0, {}};
}

// Query items that have a value, by lower-cased name; the first of a
// repeated name counts.
QHash<QString, QString> queryItems(const QUrl &url)
{
    QHash<QString, QString> items;
    const auto pairs = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    for (const auto &[name, value] : pairs) {
        const QString key = name.toLower();
        if (!items.contains(key))
            items.insert(key, value);
    }
    return items;
}

bool present(const QHash<QString, QString> &items, const char *name)
{
    return !items.value(QString::fromLatin1(name)).trimmed().isEmpty();
}

} // namespace

QString AssistantError::description() const
{
    switch (kind) {
    case Kind::decodingFailed:
        return QStringLiteral("Couldn't read the answer: ") + message;
    case Kind::network:
        return BackendError::networkError(message).description();
    case Kind::unexpectedStatus:
        return BackendError::unexpected(status, body).description();
    case Kind::notAuthenticated:
        return BackendError::notSignedIn().description();
    case Kind::unauthorized:
        return BackendError::sessionExpired().description();
    case Kind::emptyQuery:
        return QStringLiteral("No question was heard");
    case Kind::emptyResponse:
        return QStringLiteral("The assistant returned no answer");
    }
    return {};
}

Expected<AssistantResult, AssistantError> AssistantResponseParser::decode(const QByteArray &body)
{
    if (body.size() > kMaxReplyBytes)
        return Unexpected{failure(AssistantError::Kind::decodingFailed,
                                  QStringLiteral("reply of %1 bytes is too large").arg(body.size()))};
    const auto parsed = json::parse(body);
    if (!parsed)
        return Unexpected{failure(AssistantError::Kind::decodingFailed, parsed.error().message)};
    const auto kind = json::requiredField<QString>(*parsed, "kind");
    if (!kind)
        return Unexpected{failure(AssistantError::Kind::decodingFailed, kind.error().message)};
    const auto text = json::requiredField<QString>(*parsed, "text");
    if (!text)
        return Unexpected{failure(AssistantError::Kind::decodingFailed, text.error().message)};
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return Unexpected{failure(AssistantError::Kind::emptyResponse)};

    if (*kind == u"answer") {
        AssistantAnswer answer{trimmed, {}};
        const auto sources = parsed->find("sources");
        if (sources != parsed->end() && sources->is_array()) {
            for (const json::Json &item : *sources) {
                const auto title = json::optionalField<QString>(item, "title");
                const auto url = json::optionalField<QString>(item, "url");
                if (!title || !url)
                    return Unexpected{failure(AssistantError::Kind::decodingFailed,
                                              QStringLiteral("a source needs a title and a url"))};
                const QUrl address(*url, QUrl::StrictMode);
                if (SafeWebURL::isValid(address) && answer.sources.size() < kMaxSources)
                    answer.sources.append({title->trimmed(), address});
            }
        }
        return AssistantResult{answer};
    }
    if (*kind == u"action") {
        const auto url = json::optionalField<QString>(*parsed, "url");
        if (!url)
            return Unexpected{failure(AssistantError::Kind::decodingFailed, QStringLiteral("Missing action URL"))};
        return AssistantResult{AssistantAction{trimmed, QUrl(*url, QUrl::StrictMode)}};
    }
    return Unexpected{failure(AssistantError::Kind::decodingFailed, QStringLiteral("Unknown response kind"))};
}

std::optional<QString> AssistantTranscriptSelector::select(const std::optional<QString> &cleanedLive,
                                                           const std::optional<QString> &rawLive,
                                                           const std::optional<QString> &onDevice)
{
    for (const auto *candidate : {&cleanedLive, &rawLive, &onDevice}) {
        if (*candidate && !(*candidate)->trimmed().isEmpty())
            return (*candidate)->trimmed();
    }
    return std::nullopt;
}

const QStringList AssistantActionPolicy::youtubeHosts{QStringLiteral("www.youtube.com"), QStringLiteral("youtube.com"),
                                                      QStringLiteral("m.youtube.com")};
const QStringList AssistantActionPolicy::amazonHosts{
    QStringLiteral("www.amazon.com"),    QStringLiteral("amazon.com"),    QStringLiteral("www.amazon.co.uk"),
    QStringLiteral("www.amazon.de"),     QStringLiteral("www.amazon.fr"), QStringLiteral("www.amazon.it"),
    QStringLiteral("www.amazon.es"),     QStringLiteral("www.amazon.ca"), QStringLiteral("www.amazon.co.jp"),
    QStringLiteral("www.amazon.com.au"), QStringLiteral("www.amazon.in"), QStringLiteral("www.amazon.nl")};
const QStringList AssistantActionPolicy::googleSearchHosts{QStringLiteral("google.com"),
                                                           QStringLiteral("www.google.com")};
const QString AssistantActionPolicy::googleMapsHost = QStringLiteral("maps.google.com");

bool SafeWebURL::isValid(const QUrl &url)
{
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    return (scheme == u"http" || scheme == u"https") && !url.host().isEmpty() && url.userName().isEmpty() &&
           url.password().isEmpty();
}

bool AssistantActionPolicy::allows(const QUrl &url)
{
    if (!SafeWebURL::isValid(url) || url.scheme().toLower() != u"https" || url.port() != -1)
        return false;
    const QString host = url.host().toLower();
    const QString path = url.path();
    const auto items = queryItems(url);
    if (youtubeHosts.contains(host))
        return path == u"/results" && present(items, "search_query");
    if (amazonHosts.contains(host))
        return path == u"/s" && present(items, "k");
    if (googleSearchHosts.contains(host)) {
        const QString query = (items.contains(QStringLiteral("query")) ? items.value(QStringLiteral("query"))
                                                                       : items.value(QStringLiteral("q")))
                                  .trimmed();
        static const QString prefix = QStringLiteral("/maps/search/");
        if (path.startsWith(prefix) && path.size() > prefix.size())
            return true;
        if ((path == u"/maps/search" || path == prefix) && items.value(QStringLiteral("api")) == u"1")
            return !query.isEmpty();
        return path == u"/maps" && !query.isEmpty();
    }
    if (host == googleMapsHost) {
        const QString query = (items.contains(QStringLiteral("q")) ? items.value(QStringLiteral("q"))
                                                                   : items.value(QStringLiteral("query")))
                                  .trimmed();
        return (path.isEmpty() || path == u"/" || path == u"/maps") && !query.isEmpty();
    }
    return false;
}

} // namespace dravelin
