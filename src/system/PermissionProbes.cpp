#include "system/PermissionProbes.h"

#include "platform/Accessibility.h"
#include "platform/KeySynthesizer.h"
#include "platform/linux/DesktopRoads.h"

#include <algorithm>

namespace dravelin {

namespace {

struct MicrophoneFindings
{
    MicAuthorization authorization = MicAuthorization::unavailable;
    QList<AudioInputInfo> inputs;
};

// Free coroutines taking their inputs by value: they may outlive the
// provider that started them.
QCoro::Task<PermissionCheck> probeMicrophone(std::shared_ptr<AudioCaptureBackend> backend,
                                             std::shared_ptr<SerialQueue> queue, Scheduler *scheduler)
{
    auto ask = [backend] {
        MicrophoneFindings found;
        found.authorization = backend->authorization();
        if (found.authorization == MicAuthorization::authorized)
            found.inputs = backend->inputDevices();
        return found;
    };
    const MicrophoneFindings found = co_await onQueue(*queue, *scheduler, ask);
    co_return microphoneVerdict(found.authorization, found.inputs);
}

QCoro::Task<PermissionCheck> probeAccessibility(AccessibilityInspector *inspector, bool canSynthesizeKeys)
{
    const auto session = nix::currentSessionType() == nix::SessionType::wayland ? DesktopSession::wayland
                         : !qEnvironmentVariableIsEmpty("DISPLAY")              ? DesktopSession::x11
                                                                                : DesktopSession::none;
    const bool bus = co_await inspector->isAvailable();
    co_return accessibilityVerdict(session, canSynthesizeKeys, bus);
}

} // namespace

PermissionCheck microphoneVerdict(MicAuthorization authorization, const QList<AudioInputInfo> &inputs)
{
    switch (authorization) {
    case MicAuthorization::unavailable:
        return {PermissionStatus::denied,
                QStringLiteral("No sound server answered. Start PulseAudio or PipeWire (pipewire-pulse).")};
    case MicAuthorization::denied:
        return {PermissionStatus::denied,
                QStringLiteral("The sound server refused to let Dravelin record. Run Dravelin as the user who is "
                               "logged in to the desktop, not with sudo.")};
    case MicAuthorization::authorized:
        break;
    }
    const bool microphone =
        std::any_of(inputs.begin(), inputs.end(), [](const AudioInputInfo &input) { return !input.isMonitor; });
    if (!microphone)
        return {PermissionStatus::denied,
                QStringLiteral("The sound server offers no microphone. Connect one, or choose a sound card profile "
                               "with an input in the sound settings (pavucontrol).")};
    return {PermissionStatus::granted, {}};
}

PermissionCheck accessibilityVerdict(DesktopSession session, bool canSynthesizeKeys, bool accessibilityBus)
{
    QStringList missing;
    if (session == DesktopSession::none)
        missing << QStringLiteral("There is no X or Wayland display. Paste needs a desktop session.");
    else if (session == DesktopSession::wayland && !canSynthesizeKeys)
        missing << QStringLiteral("This Wayland desktop lets no application type into others, so each dictation "
                                  "opens a panel with the text to copy. Compositors such as sway and Hyprland allow "
                                  "it; on GNOME or KDE, an X11 session (for example \"GNOME on Xorg\") pastes "
                                  "directly.");
    else if (!canSynthesizeKeys)
        missing << QStringLiteral("The X server lacks the XTEST extension that paste needs. Remove any setting that "
                                  "disables XTEST from the X server's configuration and log in again.");
    if (!accessibilityBus)
        missing << QStringLiteral("The accessibility bus is not running. Install at-spi2-core and log in again.");
    if (missing.isEmpty())
        return {PermissionStatus::granted, {}};
    return {PermissionStatus::denied, missing.join(u' ')};
}

PermissionProvider microphoneProbe(std::shared_ptr<AudioCaptureBackend> backend, Scheduler &scheduler,
                                   QueueFactory queues)
{
    std::shared_ptr<SerialQueue> queue = queues(QStringLiteral("permissions"));
    return [backend = std::move(backend), queue, scheduler = &scheduler] {
        return probeMicrophone(backend, queue, scheduler);
    };
}

PermissionProvider accessibilityProbe(AccessibilityInspector &inspector, const KeySynthesizer &keys)
{
    return [inspector = &inspector, keys = &keys] { return probeAccessibility(inspector, keys->canPost()); };
}

} // namespace dravelin
