#pragma once

#include "http/HttpMessage.h"

namespace dravelin::server {

// Limits that keep a malformed, slow or hostile client from costing memory,
// sockets or time.
struct HttpLimits
{
    qsizetype maxHeaderBytes = 64 * 1024; // request line and headers together; trailers of a chunked body too
    int maxHeaders = 100;
    qsizetype maxBodyBytes = 64 * 1024 * 1024;
    int maxConnections = 512; // open at once, upgraded ones included; more are answered 503
};

// An incremental HTTP/1.1 request parser. Feed it bytes as they arrive; it
// reports a complete request, a need for more, or an error with the status to
// answer. Bodies come with Content-Length or chunked, within the same limit.
class HttpParser
{
public:
    enum class State {
        needMore,
        complete,
        error
    };

    explicit HttpParser(HttpLimits limits = {}) : m_limits(limits) {}

    // Appends bytes and parses as far as possible.
    State feed(const QByteArray &bytes);
    // After `complete`: the request; the parser then starts on the bytes
    // that followed it (a pipelined request).
    HttpRequest take();

    State state() const { return m_state; }
    int errorStatus() const { return m_errorStatus; }
    QString errorMessage() const { return m_errorMessage; }
    // Whether the headers of the request in progress are complete.
    bool headersDone() const { return m_headersDone; }
    // Whether any byte of a request not yet complete has arrived.
    bool hasPartialRequest() const { return m_state == State::needMore && (m_headersDone || !m_buffer.isEmpty()); }
    // The request in progress asked for "100 Continue" and its body is still to come.
    bool awaitsContinue() const { return m_state == State::needMore && m_headersDone && m_expectContinue; }
    // The body length the headers declared (chunked: the most it may be).
    qint64 expectedBodyBytes() const { return m_chunked ? m_limits.maxBodyBytes : m_contentLength; }
    const HttpRequest &current() const { return m_request; }
    // Bytes received and not yet part of a request (pipelined ones).
    qsizetype bufferedBytes() const { return m_buffer.size(); }
    // Bytes received after the last request (a protocol switch takes them).
    QByteArray takeBuffer() { return std::exchange(m_buffer, QByteArray()); }
    // After a 413 for a declared body that is too large: how much of that body
    // is still to come. The connection reads and drops it before closing, so
    // the client, still sending, is not cut off before it reads the answer.
    qint64 bodyBytesToDiscard() const { return m_discard; }

private:
    enum class ChunkStep {
        size,
        data,
        dataEnd,
        trailers
    };

    State fail(int status, QString message);
    State parseHead(qsizetype end);
    State parseFraming();
    State parseChunks();

    HttpLimits m_limits;
    QByteArray m_buffer;
    HttpRequest m_request;
    qsizetype m_contentLength = 0;
    bool m_chunked = false;
    ChunkStep m_chunkStep = ChunkStep::size;
    qint64 m_chunkLeft = 0;
    qsizetype m_trailerBytes = 0;
    int m_trailers = 0;
    bool m_expectContinue = false;
    qint64 m_discard = 0;
    qsizetype m_scanned = 0; // buffer bytes already searched for the end of the headers
    bool m_headersDone = false;
    State m_state = State::needMore;
    int m_errorStatus = 0;
    QString m_errorMessage;
};

} // namespace dravelin::server
