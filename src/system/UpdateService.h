#pragma once

#include "core/Expected.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

class AuthRequestSending;
class UserDefaults;

enum class UpdateState {
    idle,      // not checked yet
    checking,  // a check is running
    upToDate,  // the feed offers nothing newer than this build
    available, // latest() is newer than this build
    failed,    // error() says why
};

// One release as the update feed lists it.
struct UpdateRelease
{
    QString version;
    QUrl url;      // the package to download; may be empty
    QString notes; // may be empty
    QString published;

    bool operator==(const UpdateRelease &) const = default;
};

// -1, 0 or 1 as `a` is older than, the same as or newer than `b`; nothing
// when either is not a version. Numbers compare numerically part by part
// (1.10 is newer than 1.9, 1.0 equals 1.0.0); a pre-release suffix
// ("1.0-rc1") is older than the release itself; "+build" is ignored.
std::optional<int> compareVersions(const QString &a, const QString &b);

// The newest usable release of a feed ({"items":[{"version", "url", "notes",
// "published"}]}), nothing for a feed without items, or why it cannot be read.
// Items without a version, or with a link that is not http(s), are skipped.
Expected<std::optional<UpdateRelease>, QString> newestRelease(const QByteArray &feed);

// Looks for a newer Dravelin in the update feed: a minute after start, then
// every day while "updates.automaticChecks" is on, and when asked. It only
// tells; the user downloads and installs the package. Main thread only.
class UpdateService final : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kFeedURLKey = "updates.feedURL";
    static constexpr const char *kAutomaticChecksKey = "updates.automaticChecks";
    static constexpr Millis kFirstCheckDelay{60 * 1000};
    static constexpr Millis kCheckInterval{24 * 60 * 60 * 1000};
    static constexpr qsizetype kMaxFeedBytes = 64 * 1024;

    // `defaultFeedURL` is used while "updates.feedURL" is not set (see
    // feedURLFor). Starts the automatic schedule when it is on.
    UpdateService(UserDefaults &defaults, Scheduler &scheduler, AuthRequestSending &sender, QUrl defaultFeedURL,
                  QString currentVersion = QStringLiteral(DRAVELIN_VERSION), QObject *parent = nullptr);
    ~UpdateService() override;

    // The backend's feed: <base URL>/updates/feed.json.
    static QUrl feedURLFor(const QUrl &backendBaseURL);

    UpdateState state() const { return m_state; }
    // The newest release the last successful check found.
    const std::optional<UpdateRelease> &latest() const { return m_latest; }
    // Why the last check failed; empty otherwise.
    QString error() const { return m_error; }
    bool canCheckForUpdates() const { return m_state != UpdateState::checking; }
    QString currentVersion() const { return m_currentVersion; }
    QUrl feedURL() const;

    // The user asked: checks now, unless a check is already running.
    void checkForUpdates();

    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void stateChanged();

private:
    QCoro::Task<> check();
    void fail(const QString &message);
    void setState(UpdateState state);
    void applyAutomaticChecks();
    static QCoro::Task<> schedule(QPointer<UpdateService> self, Scheduler &scheduler, std::stop_token stop);

    UserDefaults &m_defaults;
    Scheduler &m_scheduler;
    AuthRequestSending &m_sender;
    QString m_currentVersion;
    UpdateState m_state = UpdateState::idle;
    std::optional<UpdateRelease> m_latest;
    QString m_error;
    CancellableSlot m_schedule;
    TaskTracker m_tasks;
};

} // namespace dravelin
