#pragma once

#include <optional>
#include <variant>

namespace dravelin {

// What an Fn or Space event asks the application to do.
enum class AskHotkeyAction {
    recordPress,   // Fn, as the record key, went down
    recordRelease, // Fn, as the record key, went up
    beginAsk,      // Fn+Space started an Ask
    submitAsk,     // a tap of Fn submits the spoken question
};

// What one keyboard event means to the Ask gesture.
enum class AskHotkeyInput {
    spaceDown,       // Space went down without the Fn flag
    spaceDownWithFn, // Space went down with the Fn flag set
    fnDown,          // a modifier change with the Fn flag set
    fnUp,            // a modifier change with the Fn flag clear
    spaceUp,         // Space went up
};

// The outcome of one event: the action to report, if any, and whether the
// event is swallowed so that neither the system nor the front window sees it.
struct AskHotkeyDecision
{
    std::optional<AskHotkeyAction> action;
    bool consume = false;

    bool operator==(const AskHotkeyDecision &) const = default;
};

// The Fn/Space gesture machine: Fn+Space begins an Ask, the Ask's own Fn
// release is absorbed, and the next tap of Fn submits it. When Fn alone is the
// record key, Fn presses outside an Ask drive recording instead. A plain value
// with no side effects; the listener that owns it serialises access.
struct AskHotkeyDecisionState
{
    // An Ask is running. suppressInitialFnRelease: the Fn that started it is
    // still held and its release is not a submit. initialFnDownConsumed: that
    // Fn press was swallowed, so its release is swallowed as well.
    struct Asking
    {
        bool suppressInitialFnRelease;
        bool initialFnDownConsumed;
    };
    // The gesture was abandoned while Fn was held; the release only returns to
    // idle. consume: the press was swallowed, so the release is too.
    struct CancelledAwaitingFnRelease
    {
        bool consume;
    };
    struct Idle
    {};
    // Fn went down to submit; its release ends the gesture.
    struct Submitting
    {};
    using Phase = std::variant<Asking, CancelledAwaitingFnRelease, Idle, Submitting>;

    Phase phase = Idle{};
    bool fnIsDown = false;           // Fn is held, as far as this machine has seen
    bool lastFnDownConsumed = false; // the last Fn press was swallowed
    bool consumesSpaceKeyUp = false; // the next Space key-up is swallowed

    // recordUsesFn: the record binding is Fn alone. suppressIdleFn: this
    // application is the active one, so an Fn press outside any gesture is
    // kept from the system too.
    AskHotkeyDecision handle(AskHotkeyInput input, bool recordUsesFn, bool suppressIdleFn);

    // Forgets a half-made gesture. With Fn still held, its release is awaited
    // (and swallowed if its press was) before going back to idle.
    void resetGesture();

private:
    AskHotkeyDecision spaceDown(bool withFn);
    AskHotkeyDecision fnDown(bool recordUsesFn, bool suppressIdleFn);
    AskHotkeyDecision fnUp(bool recordUsesFn);
    AskHotkeyDecision spaceUp();
};

} // namespace dravelin
