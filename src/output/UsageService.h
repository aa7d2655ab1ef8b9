#pragma once

#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"
#include "output/UsageStats.h"

#include <QObject>
#include <QTimeZone>
#include <QUrl>

#include <optional>

namespace dravelin {

// The usage figures the backend counts (this app keeps no counters of its
// own), fetched from its usage function on demand and published to the
// screens. A failed refresh is logged and leaves the previous figures.
class UsageService final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
public:
    static constexpr int kBreakdownDays = 90;

    // `timeZoneId` is the zone the per-day and per-hour figures are counted
    // in: the system's unless given.
    UsageService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender,
                 QByteArray timeZoneId = QTimeZone::systemTimeZoneId(), QObject *parent = nullptr);

    // The last figures received; none until the first refresh succeeds.
    const std::optional<UsageStats> &stats() const { return m_stats; }
    bool isLoading() const { return m_loading; }

    // Fetches and publishes; never fails (failures are logged). Nothing is
    // asked of the backend when nobody is signed in.
    QCoro::Task<> refresh();
    // One fetch without publishing: the figures, or why there are none.
    QCoro::Task<Expected<UsageStats, QString>> fetch();

    // The endpoint with ?tz=<zone>&days=90.
    QUrl requestUrl() const;

Q_SIGNALS:
    void statsChanged();
    void isLoadingChanged();

private:
    QCoro::Task<Expected<UsageStats, QString>> fetchWith(QString token);
    void setLoading(bool loading);

    QUrl m_endpoint;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    QByteArray m_timeZoneId;
    std::optional<UsageStats> m_stats;
    bool m_loading = false;
};

} // namespace dravelin
