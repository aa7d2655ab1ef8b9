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
// A chunk-size line: at most 15 hex digits (no overflow whatever the limit),
// with any chunk extension, which is ignored.
constexpr qsizetype kMaxChunkLine = 256;
constexpr qsizetype kMaxChunkDigits = 15;

// Control characters other than tab never belong in a header value: a CR or
// NUL there is an attempt to split or smuggle.
bool isCleanValue(const QByteArray &value)
{
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return false;
    }
    return true;
}

bool isDigits(const QByteArray &s)
{
    return !s.isEmpty() && s.size() <= 18 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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
        // Only the new bytes (and the three before them) can complete the
        // blank line, so a request dribbled in byte by byte is not rescanned.
        const qsizetype end = m_buffer.indexOf("\r\n\r\n", std::max<qsizetype>(0, m_scanned - 3));
        if (end < 0) {
            m_scanned = m_buffer.size();
            if (m_buffer.size() > m_limits.maxHeaderBytes)
                return fail(431, QStringLiteral("request headers are too large"));
            return m_state = State::needMore;
        }
        m_scanned = 0;
        if (end > m_limits.maxHeaderBytes)
            return fail(431, QStringLiteral("request headers are too large"));
        if (parseHead(end) == State::error)
            return m_state;
        m_buffer.remove(0, end + 4);
        m_headersDone = true;
    }
    if (m_chunked)
        return m_state = parseChunks();
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
    m_request.version = parts[2];
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
        const QByteArray value = line.mid(colon + 1);
        if (!isCleanValue(value))
            return fail(400, QStringLiteral("control character in a header value"));
        m_request.headers.append({line.left(colon).toLower(), value.trimmed()});
    }
    if (parseFraming() == State::error)
        return m_state;
    if (m_contentLength > m_limits.maxBodyBytes) {
        // What of the body came with the headers is already here. A client
        // waiting for "100 Continue" sends none of it.
        const qint64 arrived = std::max<qint64>(0, m_buffer.size() - (end + 4));
        const qint64 declared = m_contentLength;
        m_contentLength = 0;
        m_discard = !m_expectContinue && declared <= kMaxDiscardBytes ? std::max<qint64>(0, declared - arrived) : 0;
        return fail(413, QStringLiteral("the request is larger than this server accepts (at most %1 bytes; its "
                                        "maxBodyBytes setting)")
                             .arg(m_limits.maxBodyBytes));
    }
    return State::needMore;
}

// How the body is delimited (Content-Length or chunked, never both, never
// ambiguous) and what the client expects before sending it.
HttpParser::State HttpParser::parseFraming()
{
    m_contentLength = 0;
    m_chunked = false;
    m_expectContinue = false;
    QByteArray length;
    QByteArrayList codings;
    QByteArrayList expectations;
    for (const auto &[name, value] : std::as_const(m_request.headers)) {
        if (name == "content-length") {
            // A repeated header must repeat the same number; two different
            // lengths would let a proxy and this server split the stream
            // differently.
            if (!isDigits(value) || (!length.isEmpty() && value != length))
                return fail(400, QStringLiteral("malformed Content-Length"));
            length = value;
        } else if (name == "transfer-encoding") {
            codings.append(value.toLower());
        } else if (name == "expect") {
            expectations.append(value.toLower());
        }
    }
    if (!codings.isEmpty()) {
        if (!length.isEmpty())
            return fail(400, QStringLiteral("Transfer-Encoding and Content-Length together"));
        if (m_request.version == "HTTP/1.0")
            return fail(400, QStringLiteral("Transfer-Encoding in an HTTP/1.0 request"));
        if (codings.join(", ") != "chunked")
            return fail(501, QStringLiteral("only the chunked transfer coding is supported"));
        m_chunked = true;
        m_chunkStep = ChunkStep::size;
        m_chunkLeft = 0;
        m_trailerBytes = 0;
        m_trailers = 0;
    }
    if (!length.isEmpty())
        m_contentLength = length.toLongLong();
    // HTTP/1.0 has no expectations; a 1.0 client never waits for an answer.
    if (!expectations.isEmpty() && m_request.version == "HTTP/1.1") {
        if (expectations.join(", ") != "100-continue")
            return fail(417, QStringLiteral("the only expectation understood is 100-continue"));
        m_expectContinue = true;
    }
    return State::needMore;
}

// Reads as much of a chunked body as has arrived. Everything is measured: the
// size lines, the body against maxBodyBytes, and the trailers (ignored)
// against the header limits.
HttpParser::State HttpParser::parseChunks()
{
    qsizetype pos = 0; // removed from the buffer once, on the way out
    auto leave = [&](State state) {
        m_buffer.remove(0, pos);
        return state;
    };
    for (;;) {
        switch (m_chunkStep) {
        case ChunkStep::size: {
            const qsizetype eol = m_buffer.indexOf("\r\n", pos);
            if (eol < 0 ? m_buffer.size() - pos > kMaxChunkLine : eol - pos > kMaxChunkLine)
                return fail(400, QStringLiteral("malformed chunk size"));
            if (eol < 0)
                return leave(State::needMore);
            qsizetype i = pos;
            qint64 size = 0;
            for (int digit = 0; i < eol && (digit = hexDigit(m_buffer[i])) >= 0; ++i) {
                if (i - pos == kMaxChunkDigits)
                    return fail(400, QStringLiteral("malformed chunk size"));
                size = size * 16 + digit;
            }
            if (i == pos || (i < eol && m_buffer[i] != ';') || !isCleanValue(m_buffer.mid(i, eol - i)))
                return fail(400, QStringLiteral("malformed chunk size"));
            if (size > m_limits.maxBodyBytes - m_request.body.size())
                return fail(413, QStringLiteral("the request is larger than this server accepts (at most %1 "
                                                "bytes; its maxBodyBytes setting)")
                                     .arg(m_limits.maxBodyBytes));
            pos = eol + 2;
            m_chunkLeft = size;
            m_chunkStep = size == 0 ? ChunkStep::trailers : ChunkStep::data;
            break;
        }
        case ChunkStep::data: {
            const qsizetype n = std::min<qint64>(m_chunkLeft, m_buffer.size() - pos);
            m_request.body.append(m_buffer.constData() + pos, n);
            pos += n;
            m_chunkLeft -= n;
            if (m_chunkLeft > 0)
                return leave(State::needMore);
            m_chunkStep = ChunkStep::dataEnd;
            break;
        }
        case ChunkStep::dataEnd:
            // Checked byte by byte: a chunk longer than it said is refused
            // at once rather than waiting for more.
            if ((m_buffer.size() > pos && m_buffer[pos] != '\r') ||
                (m_buffer.size() > pos + 1 && m_buffer[pos + 1] != '\n'))
                return fail(400, QStringLiteral("chunk data not followed by CR LF"));
            if (m_buffer.size() - pos < 2)
                return leave(State::needMore);
            pos += 2;
            m_chunkStep = ChunkStep::size;
            break;
        case ChunkStep::trailers: {
            const qsizetype eol = m_buffer.indexOf("\r\n", pos);
            const qsizetype lineBytes = eol < 0 ? m_buffer.size() - pos : eol - pos + 2;
            if (m_trailerBytes + lineBytes > m_limits.maxHeaderBytes)
                return fail(431, QStringLiteral("request trailers are too large"));
            if (eol < 0)
                return leave(State::needMore);
            if (eol == pos) {
                pos += 2;
                return leave(State::complete);
            }
            if (++m_trailers > m_limits.maxHeaders)
                return fail(431, QStringLiteral("too many request trailers"));
            if (!isCleanValue(m_buffer.mid(pos, eol - pos)))
                return fail(400, QStringLiteral("control character in a trailer"));
            m_trailerBytes += lineBytes;
            pos = eol + 2;
            break;
        }
        }
    }
}

HttpRequest HttpParser::take()
{
    HttpRequest request = std::move(m_request);
    m_request = HttpRequest{};
    m_headersDone = false;
    m_contentLength = 0;
    m_chunked = false;
    m_expectContinue = false;
    m_scanned = 0;
    m_state = State::needMore;
    if (!m_buffer.isEmpty())
        feed({});
    return request;
}

} // namespace dravelin::server
