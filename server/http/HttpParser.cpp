#include "http/HttpParser.h"

#include <QUrl>

#include <algorithm>

namespace dravelin::server {

namespace {

bool isToken(const QByteArray &s)
{
    if (s.isEmpty())
        return false;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", c))
            return false;
    }
    return true;
}

// The most of a refused body that is read and dropped; a client declaring
// more is cut off at once.
constexpr qint64 kMaxDiscardBytes = qint64(1) << 30;

} // namespace

HttpParser::State HttpParser::fail(int status, QString message)
{
    m_state = State::error;
    m_errorStatus = status;
    m_errorMessage = std::move(message);
    return m_state;
}

HttpParser::State HttpParser::feed(const QByteArray &bytes)
{
    if (m_state == State::error) {
        m_discard = std::max<qint64>(0, m_discard - bytes.size());
        return m_state;
    }
    m_buffer += bytes;
    if (m_state == State::complete)
        return m_state; // the next request waits until this one is taken
    if (!m_headersDone) {
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > m_limits.maxHeaderBytes)
                return fail(431, QStringLiteral("request headers are too large"));
            return m_state = State::needMore;
        }
        if (end > m_limits.maxHeaderBytes)
            return fail(431, QStringLiteral("request headers are too large"));
        if (parseHead(end) == State::error)
            return m_state;
        m_buffer.remove(0, end + 4);
        m_headersDone = true;
    }
    if (m_buffer.size() < m_contentLength)
        return m_state = State::needMore;
    m_request.body = m_buffer.left(m_contentLength);
    m_buffer.remove(0, m_contentLength);
    return m_state = State::complete;
}

HttpParser::State HttpParser::parseHead(qsizetype end)
{
    // Every line, the last header's included, ends with CR LF.
    QList<QByteArray> lines = m_buffer.left(end + 2).split('\n');
    lines.removeLast(); // the empty piece after the final LF
    QByteArray requestLine = lines.first();
    if (!requestLine.endsWith('\r'))
        return fail(400, QStringLiteral("malformed request line"));
    requestLine.chop(1);
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]))
        return fail(400, QStringLiteral("malformed request line"));
    if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")
        return fail(505, QStringLiteral("only HTTP/1.x is supported"));
    const QByteArray &target = parts[1];
    if (target.isEmpty() || target[0] != '/' || target.startsWith("//"))
        return fail(400, QStringLiteral("malformed request target"));
    for (char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127)
            return fail(400, QStringLiteral("malformed request target"));
    }
    m_request = HttpRequest{};
    m_request.method = parts[0];
    m_request.target = target;
    const QUrl url(QStringLiteral("http://localhost") + QString::fromLatin1(target), QUrl::StrictMode);
    if (!url.isValid())
        return fail(400, QStringLiteral("malformed request target"));
    m_request.path = url.path(QUrl::FullyDecoded);
    m_request.query = QUrlQuery(url);

    if (lines.size() - 1 > m_limits.maxHeaders)
        return fail(431, QStringLiteral("too many request headers"));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (!line.endsWith('\r'))
            return fail(400, QStringLiteral("malformed header line"));
        line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon)))
            return fail(400, QStringLiteral("malformed header line"));
        m_request.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    }

    m_contentLength = 0;
    if (!m_request.header("transfer-encoding").isEmpty())
        return fail(501, QStringLiteral("chunked request bodies are not supported; send Content-Length"));
    const QByteArray length = m_request.header("content-length");
    if (!length.isEmpty()) {
        bool ok = false;
        const qlonglong n = length.toLongLong(&ok);
        if (!ok || n < 0)
            return fail(400, QStringLiteral("malformed Content-Length"));
        if (n > m_limits.maxBodyBytes) {
            // What of the body came with the headers is already here.
            const qint64 arrived = std::max<qint64>(0, m_buffer.size() - (end + 4));
            m_discard = n <= kMaxDiscardBytes ? std::max<qint64>(0, n - arrived) : 0;
            return fail(413, QStringLiteral("the request is larger than this server accepts (at most %1 bytes; its "
                                            "maxBodyBytes setting)")
                                 .arg(m_limits.maxBodyBytes));
        }
        m_contentLength = n;
    }
    return State::needMore;
}

HttpRequest HttpParser::take()
{
    HttpRequest request = std::move(m_request);
    m_request = HttpRequest{};
    m_headersDone = false;
    m_contentLength = 0;
    m_state = State::needMore;
    if (!m_buffer.isEmpty())
        feed({});
    return request;
}

} // namespace dravelin::server
