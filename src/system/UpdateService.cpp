#include "system/UpdateService.h"

#include "account/AuthRequestSending.h"
#include "core/Json.h"
#include "core/Log.h"
#include "core/UserDefaults.h"

#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace dravelin {

namespace {

constexpr Millis kRequestTimeout{30000};

struct Version
{
    std::vector<QString> numbers;    // decimal digits, leading zeros dropped
    std::vector<QString> preRelease; // runs of digits and of other characters
};

QString withoutLeadingZeros(const QString &digits)
{
    qsizetype i = 0;
    while (i + 1 < digits.size() && digits[i] == u'0')
        ++i;
    return digits.mid(i);
}

bool isDigits(const QString &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Digit strings of any length compare as numbers, without overflow.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

std::optional<Version> parseVersion(QString text)
{
    text = text.trimmed();
    if (text.startsWith(u'v') || text.startsWith(u'V'))
        text.remove(0, 1);
    if (const qsizetype plus = text.indexOf(u'+'); plus >= 0)
        text.truncate(plus);
    QString suffix;
    static const QRegularExpression preReleaseStart(QStringLiteral("[-~]"));
    if (const qsizetype dash = text.indexOf(preReleaseStart); dash >= 0) {
        suffix = text.mid(dash + 1);
        text.truncate(dash);
        if (suffix.isEmpty())
            return std::nullopt;
    }
    Version version;
    for (const QString &part : text.split(u'.')) {
        if (!isDigits(part))
            return std::nullopt;
        version.numbers.push_back(withoutLeadingZeros(part));
    }
    // "rc.2", "rc2" and "rc-2" read alike: rc, 2.
    static const QRegularExpression runs(QStringLiteral("\\d+|[^\\d.\\-]+"));
    for (auto it = runs.globalMatch(suffix); it.hasNext();)
        version.preRelease.push_back(it.next().captured());
    return version;
}

int compare(const Version &a, const Version &b)
{
    const std::size_t parts = std::max(a.numbers.size(), b.numbers.size());
    const QString zero = QStringLiteral("0");
    for (std::size_t i = 0; i < parts; ++i) {
        const int order =
            compareNumbers(i < a.numbers.size() ? a.numbers[i] : zero, i < b.numbers.size() ? b.numbers[i] : zero);
        if (order != 0)
            return order;
    }
    // A release is newer than any of its pre-releases.
    if (a.preRelease.empty() != b.preRelease.empty())
        return a.preRelease.empty() ? 1 : -1;
    for (std::size_t i = 0; i < std::min(a.preRelease.size(), b.preRelease.size()); ++i) {
        const QString &x = a.preRelease[i];
        const QString &y = b.preRelease[i];
        const bool xNumber = isDigits(x);
        const bool yNumber = isDigits(y);
        int order = 0;
        if (xNumber && yNumber)
            order = compareNumbers(withoutLeadingZeros(x), withoutLeadingZeros(y));
        else if (xNumber != yNumber)
            order = xNumber ? -1 : 1; // "rc.1" before "rc.beta", as in semantic versioning
        else
            order = x.compare(y, Qt::CaseInsensitive);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    if (a.preRelease.size() != b.preRelease.size())
        return a.preRelease.size() < b.preRelease.size() ? -1 : 1;
    return 0;
}

bool isWebURL(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty() && (url.scheme() == u"https" || url.scheme() == u"http");
}

} // namespace

std::optional<int> compareVersions(const QString &a, const QString &b)
{
    const auto x = parseVersion(a);
    const auto y = parseVersion(b);
    if (!x || !y)
        return std::nullopt;
    return compare(*x, *y);
}

Expected<std::optional<UpdateRelease>, QString> newestRelease(const QByteArray &feed)
{
    const auto parsed = json::parse(feed);
    if (!parsed)
        return Unexpected{parsed.error().message};
    if (!parsed->is_object())
        return Unexpected{QStringLiteral("the feed is not a JSON object")};
    const auto items = parsed->find("items");
    if (items == parsed->end() || !items->is_array())
        return Unexpected{QStringLiteral("the feed has no \"items\" list")};
    std::optional<UpdateRelease> newest;
    for (const json::Json &item : *items) {
        UpdateRelease release;
        release.version = json::optionalField<QString>(item, "version").value_or(QString()).trimmed();
        if (!parseVersion(release.version))
            continue;
        if (const auto url = json::optionalField<QString>(item, "url"); url && !url->isEmpty()) {
            release.url = QUrl(*url, QUrl::StrictMode);
            if (!isWebURL(release.url))
                continue; // the link is shown to the user: only web pages
        }
        release.notes = json::optionalField<QString>(item, "notes").value_or(QString());
        release.published = json::optionalField<QString>(item, "published").value_or(QString());
        if (!newest || compareVersions(release.version, newest->version) > 0)
            newest = std::move(release);
    }
    if (!newest && !items->empty())
        return Unexpected{QStringLiteral("no item of the feed names a version Dravelin can read")};
    return newest;
}

UpdateService::UpdateService(UserDefaults &defaults, Scheduler &scheduler, AuthRequestSending &sender,
                             QUrl defaultFeedURL, QString currentVersion, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_scheduler(scheduler)
    , m_sender(sender)
    , m_currentVersion(std::move(currentVersion))
{
    m_defaults.registerDefaults({{QString::fromLatin1(kFeedURLKey), defaultFeedURL.toString()},
                                 {QString::fromLatin1(kAutomaticChecksKey), true}});
    connect(&m_defaults, &UserDefaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String(kAutomaticChecksKey))
            applyAutomaticChecks();
    });
    applyAutomaticChecks();
}

UpdateService::~UpdateService()
{
    m_schedule.cancel();
}

QUrl UpdateService::feedURLFor(const QUrl &backendBaseURL)
{
    QUrl url = backendBaseURL;
    QString path = url.path();
    if (!path.endsWith(u'/'))
        path += u'/';
    url.setPath(path + QStringLiteral("updates/feed.json"));
    return url;
}

QUrl UpdateService::feedURL() const
{
    return QUrl(m_defaults.string(QString::fromLatin1(kFeedURLKey)).value_or(QString()), QUrl::StrictMode);
}

void UpdateService::checkForUpdates()
{
    logs::info(logs::updates(), QStringLiteral("Manual update check triggered"));
    m_tasks.track(check());
}

void UpdateService::applyAutomaticChecks()
{
    const bool automatic = m_defaults.boolValue(QString::fromLatin1(kAutomaticChecksKey), true);
    if (automatic && !m_schedule.isActive())
        m_tasks.track(schedule(QPointer<UpdateService>(this), m_scheduler, m_schedule.renew()));
    else if (!automatic)
        m_schedule.cancel();
}

QCoro::Task<> UpdateService::schedule(QPointer<UpdateService> self, Scheduler &scheduler, std::stop_token stop)
{
    Millis wait = kFirstCheckDelay;
    for (;;) {
        const bool slept = co_await scheduler.sleep(wait, stop);
        if (!slept || !self)
            co_return;
        logs::info(logs::updates(), QStringLiteral("Automatic update check"));
        QCoro::Task<> check = self->check();
        co_await check;
        wait = kCheckInterval;
    }
}

QCoro::Task<> UpdateService::check()
{
    if (m_state == UpdateState::checking)
        co_return;
    const QUrl url = feedURL();
    if (!isWebURL(url)) {
        fail(QStringLiteral("The update feed address is not a web address: %1").arg(url.toString()));
        co_return;
    }
    m_error.clear();
    setState(UpdateState::checking);

    HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.timeout = kRequestTimeout;
    request.headers.append(qMakePair(QByteArray("Accept"), QByteArray("application/json")));
    QPointer<UpdateService> self(this);
    AuthRequestSending &sender = m_sender;
    const auto reply = co_await sender.send(std::move(request));
    if (!self)
        co_return;
    if (!reply) {
        fail(QStringLiteral("Could not reach the update server: %1").arg(reply.error().description));
        co_return;
    }
    if (reply->status != 200) {
        fail(QStringLiteral("The update server answered with HTTP %1.").arg(reply->status));
        co_return;
    }
    if (reply->body.size() > kMaxFeedBytes) {
        fail(QStringLiteral("The update feed is larger than %1 KB.").arg(kMaxFeedBytes / 1024));
        co_return;
    }
    const auto newest = newestRelease(reply->body);
    if (!newest) {
        fail(QStringLiteral("The update feed could not be read: %1.").arg(newest.error()));
        co_return;
    }
    m_latest = *newest;
    const std::optional<int> order =
        *newest ? compareVersions((*newest)->version, m_currentVersion) : std::optional<int>(0);
    if (!order) {
        fail(QStringLiteral("This build's version (%1) cannot be compared.").arg(m_currentVersion));
        co_return;
    }
    if (*order > 0) {
        logs::info(logs::updates(),
                   QStringLiteral("Update available: %1 (this build is %2)").arg((*newest)->version, m_currentVersion));
        setState(UpdateState::available);
    } else {
        logs::info(logs::updates(), QStringLiteral("Up to date (%1)").arg(m_currentVersion));
        setState(UpdateState::upToDate);
    }
}

void UpdateService::fail(const QString &message)
{
    logs::error(logs::updates(), QStringLiteral("Update check failed: %1").arg(message));
    m_error = message;
    setState(UpdateState::failed);
}

void UpdateService::setState(UpdateState state)
{
    // Every step is published, even to the same state: the error or the
    // latest release may have changed with it.
    m_state = state;
    Q_EMIT stateChanged();
}

} // namespace dravelin
