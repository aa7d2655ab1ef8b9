#include "system/PermissionsService.h"
#include "system/PermissionProbes.h"

#include "core/AsyncEvent.h"
#include "core/VirtualScheduler.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <deque>

using namespace dravelin;
using namespace std::chrono_literals;

namespace {

// A provider whose answer the test sets; it can hold answers until released.
struct FakeProbe
{
    explicit FakeProbe(PermissionCheck initial) : answer(std::move(initial)) {}

    PermissionCheck answer;
    int calls = 0;
    bool hold = false;
    bool fails = false;
    std::deque<std::shared_ptr<AsyncEvent>> held;

    PermissionProvider provider()
    {
        return [this] { return run(this); };
    }

    static QCoro::Task<PermissionCheck> run(FakeProbe *probe)
    {
        ++probe->calls;
        const PermissionCheck answer = probe->answer; // as it was when asked
        if (probe->fails)
            throw std::runtime_error("probe crashed");
        if (probe->hold) {
            auto gate = std::make_shared<AsyncEvent>();
            probe->held.push_back(gate);
            co_await gate->wait();
        }
        co_return answer;
    }
};

const PermissionCheck kGranted{PermissionStatus::granted, {}};

struct Changes
{
    std::vector<PermissionStatus> microphone, accessibility;
    int details = 0;

    explicit Changes(PermissionsService &service)
    {
        QObject::connect(&service, &PermissionsService::microphoneChanged, [this](auto s) { microphone.push_back(s); });
        QObject::connect(&service, &PermissionsService::accessibilityChanged,
                         [this](auto s) { accessibility.push_back(s); });
        QObject::connect(&service, &PermissionsService::detailsChanged, [this] { ++details; });
    }
};

} // namespace

TEST(PermissionsServiceTest, OnlyChangesArePublishedAndDetailsFollowTheProbes)
{
    VirtualScheduler scheduler;
    FakeProbe mic{kGranted};
    FakeProbe ax{{PermissionStatus::denied, QStringLiteral("The accessibility bus is not running.")}};
    PermissionsService service(scheduler, mic.provider(), ax.provider());
    EXPECT_EQ(service.microphone(), PermissionStatus::granted);
    EXPECT_EQ(service.accessibility(), PermissionStatus::denied);
    EXPECT_EQ(service.accessibilityDetail(), QStringLiteral("The accessibility bus is not running."));

    Changes changes(service);
    // The user starts the bus, then switches back to Dravelin more than once.
    ax.answer = kGranted;
    service.applicationBecameActive();
    service.applicationBecameActive();
    EXPECT_EQ(changes.accessibility, std::vector<PermissionStatus>{PermissionStatus::granted});
    EXPECT_TRUE(changes.microphone.empty());
    EXPECT_TRUE(service.accessibilityDetail().isEmpty());
    EXPECT_EQ(changes.details, 1);

    // Still denied, for another reason: the status stays, the text moves.
    mic.answer = {PermissionStatus::denied, QStringLiteral("No sound server answered.")};
    service.applicationBecameActive();
    mic.answer.detail = QStringLiteral("The sound server offers no microphone.");
    service.applicationBecameActive();
    EXPECT_EQ(changes.microphone, std::vector<PermissionStatus>{PermissionStatus::denied});
    EXPECT_EQ(service.microphoneDetail(), QStringLiteral("The sound server offers no microphone."));
    EXPECT_EQ(changes.details, 3);

    // A probe that throws reads as unknown, with the reason.
    mic.fails = true;
    service.applicationBecameActive();
    EXPECT_EQ(service.microphone(), PermissionStatus::unknown);
    EXPECT_EQ(service.microphoneDetail(), QStringLiteral("The check failed: probe crashed"));
}

TEST(PermissionsServiceTest, AnOlderAnswerNeverOverwritesANewerOne)
{
    VirtualScheduler scheduler;
    FakeProbe mic{{PermissionStatus::denied, QStringLiteral("No sound server answered.")}};
    FakeProbe ax{kGranted};
    mic.hold = true;
    PermissionsService service(scheduler, mic.provider(), ax.provider());
    mic.hold = false;
    mic.answer = kGranted;
    service.applicationBecameActive(); // answers at once
    ASSERT_EQ(service.microphone(), PermissionStatus::granted);
    mic.held.front()->set(); // the first probe, slow to answer, says denied
    EXPECT_EQ(service.microphone(), PermissionStatus::granted);
    EXPECT_EQ(service.taskTracker().pendingCount(), 0);
}

TEST(PermissionsServiceTest, PollingRunsEverySecondOnceUntilStopped)
{
    VirtualScheduler scheduler;
    test::LogCapture logs;
    FakeProbe mic{kGranted};
    FakeProbe ax{kGranted};
    PermissionsService service(scheduler, mic.provider(), ax.provider());
    service.stopPolling();
    EXPECT_TRUE(logs.messages(QStringLiteral("permissions")).isEmpty());

    service.startPolling();
    service.startPolling();
    scheduler.advance(3s);
    EXPECT_EQ(mic.calls, 1 + 4); // creation, then at 0, 1, 2 and 3 s
    EXPECT_EQ(ax.calls, mic.calls);
    service.stopPolling();
    service.stopPolling();
    scheduler.advance(5s);
    EXPECT_EQ(mic.calls, 5);
    EXPECT_EQ(
        logs.messages(QStringLiteral("permissions")),
        (QStringList{QStringLiteral("Starting permissions polling"), QStringLiteral("Stopping permissions polling")}));
}

TEST(PermissionsServiceTest, LinuxVerdictsNameEveryMissingPiece)
{
    const AudioInputInfo monitor{QStringLiteral("out.monitor"), QStringLiteral("Monitor"), false, true};
    EXPECT_EQ(microphoneVerdict(MicAuthorization::authorized, {monitor}).status, PermissionStatus::denied);
    EXPECT_EQ(microphoneVerdict(MicAuthorization::unavailable, {}).detail,
              QStringLiteral("No sound server answered. Start PulseAudio or PipeWire (pipewire-pulse)."));
    EXPECT_EQ(accessibilityVerdict(DesktopSession::x11, true, true), kGranted);
    EXPECT_EQ(accessibilityVerdict(DesktopSession::wayland, true, true), kGranted);
    const QString both = accessibilityVerdict(DesktopSession::x11, false, false).detail;
    EXPECT_TRUE(both.contains(QStringLiteral("XTEST")) && both.contains(QStringLiteral("Install at-spi2-core")));
    // Without a display XTEST cannot be judged: only the display is named.
    EXPECT_FALSE(accessibilityVerdict(DesktopSession::none, false, true).detail.contains(QStringLiteral("XTEST")));
    // A Wayland desktop without typing: what happens instead, and where it works.
    const QString wayland = accessibilityVerdict(DesktopSession::wayland, false, true).detail;
    EXPECT_TRUE(wayland.contains(u"panel") && !wayland.contains(u"XTEST")) << qPrintable(wayland);
}

TEST(PermissionsServiceTest, MicrophoneProbeAsksTheSoundServerOffTheMainThread)
{
    VirtualScheduler scheduler;
    auto backend = std::make_shared<test::FakeAudioBackend>();
    backend->devices = {AudioInputInfo{QStringLiteral("out.monitor"), QStringLiteral("Monitor"), false, true}};
    FakeProbe ax{kGranted};
    PermissionsService service(scheduler, microphoneProbe(backend, scheduler, test::immediateQueues()), ax.provider());
    // The answer comes back through the scheduler, not inside the call.
    EXPECT_EQ(service.microphone(), PermissionStatus::unknown);
    scheduler.runPending();
    EXPECT_EQ(service.microphone(), PermissionStatus::denied);

    backend->devices << AudioInputInfo{QStringLiteral("builtin"), QStringLiteral("Built-in microphone")};
    service.applicationBecameActive();
    scheduler.runPending();
    EXPECT_EQ(service.microphone(), PermissionStatus::granted);
}
