#include "system/PermissionsService.h"

#include "core/Log.h"

#include <QGuiApplication>

#include <exception>

namespace dravelin {

namespace {

// Runs one provider (held in this frame while it runs). A provider that
// throws reads as "unknown" with the reason, never as an exception escaping
// into the service.
QCoro::Task<PermissionCheck> answerOf(PermissionProvider provider)
{
    QString reason;
    try {
        QCoro::Task<PermissionCheck> task = provider();
        co_return co_await task;
    } catch (const std::exception &e) {
        reason = QString::fromUtf8(e.what());
    } catch (...) {
        reason = QStringLiteral("unknown error");
    }
    co_return PermissionCheck{PermissionStatus::unknown, QStringLiteral("The check failed: %1").arg(reason)};
}

} // namespace

PermissionsService::PermissionsService(Scheduler &scheduler, PermissionProvider microphone,
                                       PermissionProvider accessibility, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_microphoneProvider(std::move(microphone))
    , m_accessibilityProvider(std::move(accessibility))
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                applicationBecameActive();
        });
    }
    m_tasks.track(refreshNow());
}

PermissionsService::~PermissionsService()
{
    m_poll.cancel();
}

QCoro::Task<> PermissionsService::refreshNow()
{
    QPointer<PermissionsService> self(this);
    const quint64 round = ++m_rounds;
    // Both probes run at once, on copies of the providers that live on even
    // if the service goes.
    QCoro::Task<PermissionCheck> microphoneTask = answerOf(m_microphoneProvider);
    QCoro::Task<PermissionCheck> accessibilityTask = answerOf(m_accessibilityProvider);
    const PermissionCheck microphoneCheck = co_await microphoneTask;
    const PermissionCheck accessibilityCheck = co_await accessibilityTask;
    if (!self)
        co_return;
    bool detailChanged = false;
    const bool microphoneChanged = self->store(self->m_microphone, round, microphoneCheck, detailChanged);
    const bool accessibilityChanged = self->store(self->m_accessibility, round, accessibilityCheck, detailChanged);
    if (detailChanged)
        Q_EMIT self->detailsChanged();
    if (self && microphoneChanged)
        Q_EMIT self->microphoneChanged(self->microphone());
    if (self && accessibilityChanged)
        Q_EMIT self->accessibilityChanged(self->accessibility());
}

bool PermissionsService::store(Published &slot, quint64 round, const PermissionCheck &check, bool &detailChanged)
{
    if (round < slot.round)
        return false; // a later refresh has answered already
    slot.round = round;
    if (slot.check.detail != check.detail)
        detailChanged = true;
    const bool statusChanged = slot.check.status != check.status;
    slot.check = check;
    return statusChanged;
}

void PermissionsService::startPolling()
{
    if (m_poll.isActive())
        return;
    logs::info(logs::permissions(), QStringLiteral("Starting permissions polling"));
    m_tasks.track(poll(QPointer<PermissionsService>(this), m_scheduler, m_poll.renew()));
}

void PermissionsService::stopPolling()
{
    if (!m_poll.isActive())
        return;
    logs::info(logs::permissions(), QStringLiteral("Stopping permissions polling"));
    m_poll.cancel();
}

QCoro::Task<> PermissionsService::poll(QPointer<PermissionsService> self, Scheduler &scheduler, std::stop_token stop)
{
    while (self && !stop.stop_requested()) {
        QCoro::Task<> refresh = self->refreshNow();
        co_await refresh;
        if (!self || stop.stop_requested())
            co_return;
        const bool slept = co_await scheduler.sleep(kPollInterval, stop);
        if (!slept)
            co_return;
    }
}

QCoro::Task<> PermissionsService::requestMicrophone()
{
    QPointer<PermissionsService> self(this);
    co_await refreshNow();
    if (!self)
        co_return;
    if (self->microphone() == PermissionStatus::denied)
        logs::info(logs::permissions(), QStringLiteral("Microphone unavailable: %1").arg(self->microphoneDetail()));
}

QString PermissionsService::openAccessibilitySettings()
{
    logs::info(logs::permissions(), QStringLiteral("Opening Accessibility settings"));
    m_tasks.track(refreshNow());
    return accessibilityDetail();
}

void PermissionsService::applicationBecameActive()
{
    m_tasks.track(refreshNow());
}

} // namespace dravelin
