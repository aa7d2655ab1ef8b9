#pragma once

#include "output/EditableFocus.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace dravelin {

// The paste service as the pipeline sees it.
class Pasting
{
public:
    virtual ~Pasting() = default;
    // Pastes `text` into the focused field of the frontmost application (or of
    // `targetBundleID` when given), restoring the clipboard unless asked to keep it.
    virtual QCoro::Task<> paste(QString text, std::optional<QString> targetBundleID, bool keepOnClipboard) = 0;
    // Replaces `raw`, pasted just before the caret, with `cleaned`; false when
    // the swap was skipped or aborted (the raw text then stays).
    virtual QCoro::Task<bool> replacePastedText(QString raw, QString cleaned, std::optional<QString> targetBundleID,
                                                bool keepOnClipboard) = 0;
    // Whether something that takes text has the focus.
    virtual QCoro::Task<EditableFocus> focusedEditableTarget(std::optional<QString> expectedBundleID) = 0;
    // Waits (at most 500 ms) until the user has let go of Shift, Control, Alt and Super.
    virtual QCoro::Task<> waitForModifiersToClear() = 0;
};

} // namespace dravelin
