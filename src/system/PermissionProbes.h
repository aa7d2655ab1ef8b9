#pragma once

#include "core/SerialQueue.h"
#include "platform/AudioCapture.h"
#include "system/PermissionsService.h"

#include <memory>

namespace dravelin {

class AccessibilityInspector;
class KeySynthesizer;

// The verdicts from what the probes found, with the fix for Debian and Ubuntu.
//
// Microphone: a sound server answers, lets us record, and offers at least one
// input that is not the monitor of an output.
PermissionCheck microphoneVerdict(MicAuthorization authorization, const QList<AudioInputInfo> &inputs);
// Accessibility: a desktop that lets Dravelin type (XTEST on X11, a virtual
// keyboard and a background clipboard on Wayland), and a reachable AT-SPI
// accessibility bus (reading the focused field).
enum class DesktopSession {
    none,
    x11,
    wayland
};
PermissionCheck accessibilityVerdict(DesktopSession session, bool canSynthesizeKeys, bool accessibilityBus);

// The Linux providers for PermissionsService.
//
// Asks the sound server on a queue of its own (it can take up to ~2 s to
// answer) and resumes on the main thread through `scheduler`.
PermissionProvider microphoneProbe(std::shared_ptr<AudioCaptureBackend> backend, Scheduler &scheduler,
                                   QueueFactory queues = threadQueues());
// Asks for the accessibility bus over D-Bus without blocking; XTEST is what
// `keys` found when it opened the display. Both must outlive the provider.
PermissionProvider accessibilityProbe(AccessibilityInspector &inspector, const KeySynthesizer &keys);

} // namespace dravelin
