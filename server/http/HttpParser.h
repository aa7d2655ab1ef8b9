#pragma once

#include "http/HttpMessage.h"

namespace dravelin::server {

// Limits that keep a malformed or hostile request from costing memory.
struct HttpLimits
{
    qsizetype maxHeaderBytes = 64 * 1024; // request line and headers together
    int maxHeaders = 100;
    qsizetype maxBodyBytes = 64 * 1024 * 1024;
};

// An incremental HTTP/1.1 request parser. Feed it bytes as they arrive; it
// reports a complete request, a need for more, or an error with the status to
// answer. Bodies need Content-Length (chunked request bodies are refused).
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
    const HttpRequest &current() const { return m_request; }
    // Bytes received after the last request (a protocol switch takes them).
    QByteArray takeBuffer() { return std::exchange(m_buffer, QByteArray()); }
    // After a 413 for a declared body that is too large: how much of that body
    // is still to come. The connection reads and drops it before closing, so
    // the client, still sending, is not cut off before it reads the answer.
    qint64 bodyBytesToDiscard() const { return m_discard; }

private:
    State fail(int status, QString message);
    State parseHead(qsizetype end);

    HttpLimits m_limits;
    QByteArray m_buffer;
    HttpRequest m_request;
    qsizetype m_contentLength = 0;
    qint64 m_discard = 0;
    bool m_headersDone = false;
    State m_state = State::needMore;
    int m_errorStatus = 0;
    QString m_errorMessage;
};

} // namespace dravelin::server
