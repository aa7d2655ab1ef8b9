#pragma once

#include "output/ClipboardEntry.h"

#include <QByteArray>

#include <qcoro/qcorotask.h>

namespace dravelin {

// The dictation history as the pipeline sees it.
class ClipboardHistoring
{
public:
    virtual ~ClipboardHistoring() = default;
    virtual int entryCount() const = 0;
    // The newest entry, if any.
    virtual std::optional<ClipboardEntry> latest() const = 0;
    // Remembers a delivered text, with the dictation's recording when given;
    // the call returns once the entry is on disk.
    virtual QCoro::Task<> add(QString text, std::optional<QString> source, std::optional<QString> windowName,
                              bool aiProcessed, std::optional<QByteArray> audio) = 0;
};

} // namespace dravelin
