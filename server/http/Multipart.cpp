#include "http/Multipart.h"

namespace dravelin::server {

namespace {

// The value of `key="…"` (or key=token) in a header's parameters.
std::optional<QByteArray> parameter(const QByteArray &header, const QByteArray &key)
{
    const QList<QByteArray> pieces = header.split(';');
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArray piece = pieces[i].trimmed();
        const qsizetype eq = piece.indexOf('=');
        if (eq <= 0 || piece.left(eq).trimmed().toLower() != key)
            continue;
        QByteArray value = piece.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

} // namespace

QByteArray multipartBoundary(const QByteArray &contentType)
{
    const QByteArray type = contentType.split(';').first().trimmed().toLower();
    if (type != "multipart/form-data")
        return {};
    const auto boundary = parameter(contentType, "boundary");
    if (!boundary || boundary->isEmpty() || boundary->size() > 200)
        return {};
    return *boundary;
}

Expected<QList<MultipartPart>, QString> parseMultipart(const QByteArray &body, const QByteArray &boundary, int maxParts)
{
    if (boundary.isEmpty())
        return Unexpected{QStringLiteral("missing multipart boundary")};
    const QByteArray delimiter = "--" + boundary;
    const QByteArray next = "\r\n" + delimiter;
    if (!body.startsWith(QByteArray(delimiter + "\r\n")))
        return Unexpected{QStringLiteral("body does not start with the boundary")};
    QList<MultipartPart> parts;
    qsizetype pos = delimiter.size() + 2;
    for (;;) {
        if (parts.size() >= maxParts)
            return Unexpected{QStringLiteral("too many parts")};
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", pos);
        if (headersEnd < 0)
            return Unexpected{QStringLiteral("part headers are not terminated")};
        MultipartPart part;
        bool formData = false;
        const QList<QByteArray> lines = body.mid(pos, headersEnd - pos).split('\n');
        for (QByteArray line : lines) {
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.isEmpty())
                continue;
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                return Unexpected{QStringLiteral("malformed part header")};
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-disposition") {
                if (value.split(';').first().trimmed().toLower() != "form-data")
                    return Unexpected{QStringLiteral("part is not form-data")};
                formData = true;
                if (auto n = parameter(value, "name"))
                    part.name = QString::fromUtf8(*n);
                if (auto f = parameter(value, "filename"))
                    part.filename = QString::fromUtf8(*f);
            } else if (name == "content-type") {
                part.contentType = value;
            }
        }
        if (!formData || part.name.isEmpty())
            return Unexpected{QStringLiteral("part without a form-data name")};
        const qsizetype dataStart = headersEnd + 4;
        const qsizetype dataEnd = body.indexOf(next, dataStart);
        if (dataEnd < 0)
            return Unexpected{QStringLiteral("part is not terminated by the boundary")};
        part.data = body.mid(dataStart, dataEnd - dataStart);
        parts.append(std::move(part));
        pos = dataEnd + next.size();
        if (body.mid(pos, 2) == "--") {
            if (!body.mid(pos + 2).trimmed().isEmpty())
                return Unexpected{QStringLiteral("data after the closing boundary")};
            return parts;
        }
        if (body.mid(pos, 2) != "\r\n")
            return Unexpected{QStringLiteral("malformed boundary line")};
        pos += 2;
    }
}

} // namespace dravelin::server
