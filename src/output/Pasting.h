#pragma once

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
};

} // namespace dravelin
