#pragma once

#include "core/Scheduler.h"
#include "core/Tasks.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>

namespace dravelin {

enum class PermissionStatus {
    unknown, // not probed yet, or the probe itself failed
    granted,
    denied,
};

// What one probe found: the status and, when something is missing, a plain
// sentence saying what and how to fix it (empty when nothing is missing).
struct PermissionCheck
{
    PermissionStatus status = PermissionStatus::unknown;
    QString detail;

    bool operator==(const PermissionCheck &) const = default;
};

// Answers one permission probe. May wait (a sound server can take seconds to
// answer), so it is a task; it must resume on the main thread.
using PermissionProvider = std::function<QCoro::Task<PermissionCheck>()>;

// The two things dictation needs from the desktop: a microphone (to record)
// and the accessibility side (the AT-SPI bus to look at the focused field,
// XTEST to type the paste keystrokes). Keeps the published statuses current
// while the user fixes them: on creation, whenever the application becomes
// active, every second while polling, and on request. Main thread only.
//
// Linux has no permission prompts and no settings page every desktop can
// open, so "requesting" re-probes and the detail texts carry the fix.
class PermissionsService final : public QObject
{
    Q_OBJECT
public:
    static constexpr Millis kPollInterval{1000};

    // Starts the first probe at once; both statuses read `unknown` until it answers.
    PermissionsService(Scheduler &scheduler, PermissionProvider microphone, PermissionProvider accessibility,
                       QObject *parent = nullptr);
    ~PermissionsService() override;

    PermissionStatus microphone() const { return m_microphone.check.status; }
    PermissionStatus accessibility() const { return m_accessibility.check.status; }
    QString microphoneDetail() const { return m_microphone.check.detail; }
    QString accessibilityDetail() const { return m_accessibility.check.detail; }

    // Probes both and publishes what changed. Overlapping refreshes are fine:
    // an answer older than one already published is dropped.
    QCoro::Task<> refreshNow();

    // Polls every second until stopped (the onboarding screen, while the user
    // is fixing things). Starting twice keeps one poll.
    void startPolling();
    void stopPolling();
    bool isPolling() const { return m_poll.isActive(); }

    // There is no prompt to show: probes again and, when the microphone is
    // still missing, logs why. The detail text tells the user the fix.
    QCoro::Task<> requestMicrophone();

    // No desktop has a page that grants this: logs, probes again and returns
    // the fix to show (empty when nothing is missing).
    QString openAccessibilitySettings();

    // The application came to the front: the user may have fixed something.
    void applicationBecameActive();

    TaskTracker &taskTracker() { return m_tasks; }

Q_SIGNALS:
    void microphoneChanged(PermissionStatus status);
    void accessibilityChanged(PermissionStatus status);
    // Either detail text changed (a status may stay the same while the reason changes).
    void detailsChanged();

private:
    struct Published
    {
        PermissionCheck check;
        quint64 round = 0; // the refresh that published it
    };

    // Stores an answer unless a later refresh already answered; whether the status changed.
    bool store(Published &slot, quint64 round, const PermissionCheck &check, bool &detailChanged);
    static QCoro::Task<> poll(QPointer<PermissionsService> self, Scheduler &scheduler, std::stop_token stop);

    Scheduler &m_scheduler;
    PermissionProvider m_microphoneProvider;
    PermissionProvider m_accessibilityProvider;
    Published m_microphone;
    Published m_accessibility;
    quint64 m_rounds = 0;
    CancellableSlot m_poll;
    TaskTracker m_tasks;
};

} // namespace dravelin
