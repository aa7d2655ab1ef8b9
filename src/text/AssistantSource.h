#pragma once

#include <QString>
#include <QUrl>

namespace dravelin {

// One source cited by an Ask answer.
struct AssistantSource
{
    QString title;
    QUrl url;

    bool operator==(const AssistantSource &) const = default;
};

} // namespace dravelin
