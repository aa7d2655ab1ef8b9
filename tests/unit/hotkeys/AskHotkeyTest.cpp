#include "hotkeys/AskHotkeyDecision.h"
#include "hotkeys/BareModifierTracker.h"
#include "hotkeys/HotkeyBinding.h"

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

using Input = AskHotkeyInput;
using Action = AskHotkeyAction;
using Change = BareModifierTracker::Change;
const AskHotkeyDecision kPass{std::nullopt, false};
const AskHotkeyDecision kSwallow{std::nullopt, true};

struct Gesture
{
    AskHotkeyDecisionState state;
    bool recordUsesFn = false;
    bool suppressIdleFn = false;

    AskHotkeyDecision operator()(Input input) { return state.handle(input, recordUsesFn, suppressIdleFn); }
};

} // namespace

TEST(AskHotkeyTest, FullAskPassesOrSwallowsFnDependingOnFocus)
{
    for (const bool focused : {false, true}) {
        Gesture ask;
        ask.suppressIdleFn = focused;
        EXPECT_EQ(ask(Input::fnDown), (AskHotkeyDecision{std::nullopt, focused}));
        EXPECT_EQ(ask(Input::spaceDownWithFn), (AskHotkeyDecision{Action::beginAsk, true}));
        // A key repeat of Space starts nothing new.
        EXPECT_EQ(ask(Input::spaceDownWithFn), kSwallow);
        EXPECT_EQ(ask(Input::fnUp), (AskHotkeyDecision{std::nullopt, focused})); // absorbed, not a submit
        EXPECT_EQ(ask(Input::spaceUp), kSwallow);
        EXPECT_EQ(ask(Input::fnDown), (AskHotkeyDecision{Action::submitAsk, true}));
        EXPECT_EQ(ask(Input::spaceDownWithFn), kSwallow); // no second Ask while submitting
        EXPECT_EQ(ask(Input::fnUp), kSwallow);
        EXPECT_TRUE(std::holds_alternative<AskHotkeyDecisionState::Idle>(ask.state.phase));
        EXPECT_EQ(ask(Input::spaceUp), kSwallow);
        EXPECT_EQ(ask(Input::spaceUp), kPass);
    }
}

TEST(AskHotkeyTest, FnAsRecordKeyStillStartsAnAsk)
{
    Gesture ask;
    ask.recordUsesFn = true;
    EXPECT_EQ(ask(Input::fnDown), (AskHotkeyDecision{Action::recordPress, true}));
    EXPECT_EQ(ask(Input::fnDown), kPass); // Shift pressed while Fn is held
    EXPECT_EQ(ask(Input::fnUp), (AskHotkeyDecision{Action::recordRelease, true}));
    EXPECT_EQ(ask(Input::fnUp), kPass);

    ask(Input::fnDown);
    EXPECT_EQ(ask(Input::spaceDownWithFn), (AskHotkeyDecision{Action::beginAsk, true}));
    EXPECT_EQ(ask(Input::fnUp), kSwallow); // the consumed press makes its release swallowed, no recordRelease
    EXPECT_EQ(ask(Input::fnDown), (AskHotkeyDecision{Action::submitAsk, true}));
}

TEST(AskHotkeyTest, SpaceWithoutFnAndAbandonedGestures)
{
    Gesture ask;
    ask.suppressIdleFn = true;
    EXPECT_EQ(ask(Input::spaceDown), kPass);
    EXPECT_EQ(ask(Input::spaceUp), kPass);

    ask(Input::fnDown); // a Space without the Fn flag still counts while Fn is held
    EXPECT_EQ(ask(Input::spaceDown), (AskHotkeyDecision{Action::beginAsk, true}));

    // Abandoned with Fn held: the release only returns to idle.
    ask.state.resetGesture();
    EXPECT_EQ(ask(Input::fnUp), kSwallow);
    EXPECT_TRUE(std::holds_alternative<AskHotkeyDecisionState::Idle>(ask.state.phase));

    // Abandoned with Fn up: the next Fn press is an ordinary idle press, not a submit.
    ask.suppressIdleFn = false;
    ask(Input::spaceDownWithFn);
    ask.state.resetGesture();
    EXPECT_EQ(ask(Input::fnDown), kPass);
}

TEST(AskHotkeyTest, BareModifierTrackerSharesLeftAndRightKeys)
{
    BareModifierTracker tracker;
    EXPECT_EQ(tracker.keyEvent(keycode::option, true), Change::none); // no target

    tracker.setTarget(BareModifier::option);
    EXPECT_EQ(tracker.keyEvent(keycode::option, true), Change::pressed);
    EXPECT_EQ(tracker.keyEvent(keycode::option, true), Change::none); // key repeat
    EXPECT_EQ(tracker.keyEvent(keycode::rightOption, true), Change::none);
    EXPECT_EQ(tracker.keyEvent(keycode::option, false), Change::none);
    EXPECT_EQ(tracker.keyEvent(keycode::rightOption, false), Change::released);

    tracker.keyEvent(keycode::option, true);
    tracker.setTarget(BareModifier::command);
    EXPECT_EQ(tracker.keyEvent(keycode::shift, true), Change::none);
    EXPECT_EQ(tracker.keyEvent(keycode::command, true), Change::pressed);
    tracker.setTarget(BareModifier::command);
    EXPECT_EQ(tracker.keyEvent(keycode::command, false), Change::none); // forgotten by setTarget
    EXPECT_EQ(tracker.keyEvent(keycode::command, true), Change::pressed);
}
