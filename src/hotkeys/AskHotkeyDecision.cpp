#include "hotkeys/AskHotkeyDecision.h"

namespace dravelin {

namespace {

constexpr AskHotkeyDecision pass()
{
    return {std::nullopt, false};
}

constexpr AskHotkeyDecision swallow(std::optional<AskHotkeyAction> action = std::nullopt)
{
    return {action, true};
}

constexpr AskHotkeyDecision swallowIf(bool consume, std::optional<AskHotkeyAction> action = std::nullopt)
{
    return {action, consume};
}

} // namespace

AskHotkeyDecision AskHotkeyDecisionState::handle(AskHotkeyInput input, bool recordUsesFn, bool suppressIdleFn)
{
    switch (input) {
    case AskHotkeyInput::spaceDown:
        return spaceDown(false);
    case AskHotkeyInput::spaceDownWithFn:
        return spaceDown(true);
    case AskHotkeyInput::fnDown:
        return fnDown(recordUsesFn, suppressIdleFn);
    case AskHotkeyInput::fnUp:
        return fnUp(recordUsesFn);
    case AskHotkeyInput::spaceUp:
        return spaceUp();
    }
    return pass();
}

void AskHotkeyDecisionState::resetGesture()
{
    if (fnIsDown)
        phase = CancelledAwaitingFnRelease{lastFnDownConsumed};
    else
        phase = Idle{};
}

AskHotkeyDecision AskHotkeyDecisionState::spaceDown(bool withFn)
{
    // Plain typing: a Space with no Fn anywhere is none of our business.
    if (!withFn && !fnIsDown)
        return pass();
    consumesSpaceKeyUp = true;
    // A second Fn+Space (or a key repeat) during a gesture starts nothing new,
    // but the Space must not reach the front window either.
    if (!std::holds_alternative<Idle>(phase))
        return swallow();
    phase = Asking{true, lastFnDownConsumed};
    return swallow(AskHotkeyAction::beginAsk);
}

AskHotkeyDecision AskHotkeyDecisionState::fnDown(bool recordUsesFn, bool suppressIdleFn)
{
    // Another modifier changed while Fn is held: the Fn flag is still set.
    if (fnIsDown)
        return pass();
    fnIsDown = true;

    if (std::holds_alternative<Asking>(phase)) {
        lastFnDownConsumed = true;
        phase = Submitting{};
        return swallow(AskHotkeyAction::submitAsk);
    }
    if (const auto *cancelled = std::get_if<CancelledAwaitingFnRelease>(&phase))
        return swallowIf(cancelled->consume);
    if (std::holds_alternative<Submitting>(phase)) {
        lastFnDownConsumed = true;
        return swallow();
    }

    // Idle.
    if (recordUsesFn) {
        lastFnDownConsumed = true;
        return swallow(AskHotkeyAction::recordPress);
    }
    lastFnDownConsumed = suppressIdleFn;
    return swallowIf(suppressIdleFn);
}

AskHotkeyDecision AskHotkeyDecisionState::fnUp(bool recordUsesFn)
{
    if (!fnIsDown)
        return pass();
    fnIsDown = false;

    if (auto *asking = std::get_if<Asking>(&phase)) {
        // The release of the Fn that started the Ask: absorbed, not a submit.
        asking->suppressInitialFnRelease = false;
        lastFnDownConsumed = false;
        return swallowIf(asking->initialFnDownConsumed);
    }
    if (const auto *cancelled = std::get_if<CancelledAwaitingFnRelease>(&phase)) {
        const bool consume = cancelled->consume;
        phase = Idle{};
        lastFnDownConsumed = false;
        return swallowIf(consume);
    }
    if (std::holds_alternative<Submitting>(phase)) {
        phase = Idle{};
        lastFnDownConsumed = false;
        return swallow();
    }

    // Idle: the release is swallowed exactly when its press was.
    const bool pressWasConsumed = lastFnDownConsumed;
    lastFnDownConsumed = false;
    if (recordUsesFn)
        return swallowIf(pressWasConsumed, AskHotkeyAction::recordRelease);
    return swallowIf(pressWasConsumed);
}

AskHotkeyDecision AskHotkeyDecisionState::spaceUp()
{
    if (!consumesSpaceKeyUp)
        return pass();
    consumesSpaceKeyUp = false;
    return swallow();
}

} // namespace dravelin
