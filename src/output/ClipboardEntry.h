#pragma once

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>

namespace dravelin {

// One delivered text in the history.
struct ClipboardEntry
{
    QUuid id;
    QString text;
    QDateTime createdAt;
    std::optional<QString> sourceBundleID; // the application the text went to
    std::optional<QString> windowName;     // that application's focused window title
    bool aiProcessed = false;              // produced by an AI cleanup or rewrite

    bool operator==(const ClipboardEntry &) const = default;
};

} // namespace dravelin
