#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace dravelin::server {

struct MultipartPart
{
    QString name;
    std::optional<QString> filename;
    QByteArray contentType;
    QByteArray data;
};

// The boundary of a "multipart/form-data; boundary=…" content type, or empty.
QByteArray multipartBoundary(const QByteArray &contentType);

// Strict multipart/form-data parsing: every part must be a form-data part
// with a name, the body must end with the closing delimiter, and nothing but
// whitespace may follow it. At most `maxParts` parts.
Expected<QList<MultipartPart>, QString> parseMultipart(const QByteArray &body, const QByteArray &boundary,
                                                       int maxParts = 64);

} // namespace dravelin::server
