#include "output/UsageService.h"

#include "account/BackendRequest.h"
#include "core/Log.h"

#include <QPointer>
#include <QStringDecoder>
#include <QUrlQuery>

namespace dravelin {

namespace {

constexpr Millis kRequestTimeout{60000};
constexpr qsizetype kMaxReplyBytes = 1024 * 1024;
constexpr qsizetype kMaxLoggedBody = 4096;

const QString kNotSignedIn = QStringLiteral("Usage refresh skipped — not signed in");

// The body as UTF-8 for the log; empty when it is not UTF-8.
QString bodyText(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body.left(kMaxLoggedBody));
    return decoder.hasError() ? QString() : text;
}

} // namespace

UsageService::UsageService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, QByteArray timeZoneId,
                           QObject *parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_timeZoneId(std::move(timeZoneId))
{}

QUrl UsageService::requestUrl() const
{
    QUrl url = m_endpoint;
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("tz"), QString::fromUtf8(m_timeZoneId));
    query.addQueryItem(QStringLiteral("days"), QString::number(kBreakdownDays));
    url.setQuery(query);
    return url.isValid() ? url : m_endpoint;
}

QCoro::Task<> UsageService::refresh()
{
    QPointer<UsageService> self(this);
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self)
        co_return;
    if (!token || token->isEmpty()) {
        logs::info(logs::usage(), kNotSignedIn);
        co_return;
    }
    setLoading(true);
    const auto stats = co_await fetchWith(*token);
    if (!self)
        co_return;
    if (stats && stats.value() != m_stats) {
        m_stats = *stats;
        Q_EMIT statsChanged();
    }
    setLoading(false);
}

QCoro::Task<Expected<UsageStats, QString>> UsageService::fetch()
{
    QPointer<UsageService> self(this);
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self)
        co_return Unexpected{QStringLiteral("stopped")};
    if (!token || token->isEmpty()) {
        logs::info(logs::usage(), kNotSignedIn);
        co_return Unexpected{QStringLiteral("Not signed in")};
    }
    co_return co_await fetchWith(*token);
}

QCoro::Task<Expected<UsageStats, QString>> UsageService::fetchWith(QString token)
{
    HttpRequest request = backendRequest("GET", requestUrl(), token, kRequestTimeout);
    AuthRequestSending &sender = m_sender;
    const auto reply = co_await sender.send(std::move(request));
    if (!reply) {
        logs::error(logs::usage(), QStringLiteral("Usage fetch failed: %1").arg(reply.error().description));
        co_return Unexpected{reply.error().description};
    }
    if (reply->status != 200) {
        logs::error(logs::usage(),
                    QStringLiteral("Usage HTTP error: %1 body=%2").arg(reply->status).arg(bodyText(reply->body)));
        co_return Unexpected{QStringLiteral("HTTP %1").arg(reply->status)};
    }
    const auto body = parseBackendReply(reply->body, kMaxReplyBytes);
    auto stats = body ? UsageStats::fromJson(*body) : Expected<UsageStats, QString>(Unexpected{body.error()});
    if (!stats) {
        logs::error(logs::usage(), QStringLiteral("Usage fetch failed: %1").arg(stats.error()));
        co_return Unexpected{stats.error()};
    }
    logs::info(logs::usage(), QStringLiteral("Usage refreshed: %1 words / %2s this month · breakdown=%3")
                                  .arg(stats->month.words)
                                  .arg(stats->month.seconds)
                                  .arg(stats->daily ? QStringLiteral("yes") : QStringLiteral("no")));
    co_return std::move(stats.value());
}

void UsageService::setLoading(bool loading)
{
    if (m_loading == loading)
        return;
    m_loading = loading;
    Q_EMIT isLoadingChanged();
}

} // namespace dravelin
