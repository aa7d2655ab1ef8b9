#pragma once

#include <limits>

namespace dravelin {

// The keystroke that pastes in the focused application.
enum class PasteKeys {
    ctrlV,       // most applications
    ctrlShiftV,  // terminals, where Ctrl+V means something else
    shiftInsert, // terminals that paste only the primary selection (xterm, rxvt)
};

// Synthetic keystrokes into whatever has the keyboard focus, and the state of
// the modifier keys the user is physically holding.
class KeySynthesizer
{
public:
    virtual ~KeySynthesizer() = default;

    // False when keystrokes cannot be delivered at all (no display, no XTest).
    virtual bool canPost() const = 0;
    virtual void postPaste(PasteKeys keys) = 0;
    // Ctrl+C; Ctrl+Shift+C in terminals.
    virtual void postCopy(bool terminal) = 0;
    // Shift held, Left pressed `count` times; nothing at all below 1.
    virtual void postSelectBackward(int count) = 0;
    // The most Shift+Left presses postSelectBackward sends safely at once.
    virtual int maxSelectBackward() const { return std::numeric_limits<int>::max(); }
    // Right, no modifiers: collapses a selection to its end.
    virtual void postCollapseSelection() = 0;
    // Shift, Control, Alt or Super is held down (Caps Lock and Num Lock are not
    // counted), or any other key is: the key of the hotkey that asked for the
    // paste holds the keyboard grab until it is released.
    virtual bool modifiersHeld() const = 0;
};

} // namespace dravelin
