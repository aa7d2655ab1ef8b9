// libFuzzer target: the HTTP request parser, fed in arbitrary pieces. It must
// never crash, never hang, and every request it accepts must be well formed.

#include "http/HttpParser.h"

#include <cstdint>
#include <cstdlib>

using namespace dravelin::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    HttpLimits limits;
    limits.maxBodyBytes = 4096;
    limits.maxHeaderBytes = 2048;
    HttpParser parser(limits);
    // The first byte picks the piece size, so requests split across reads are covered.
    const size_t piece = 1 + data[0] % 64;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    for (qsizetype i = 0; i < bytes.size(); i += static_cast<qsizetype>(piece)) {
        if (parser.feed(bytes.mid(i, static_cast<qsizetype>(piece))) == HttpParser::State::error)
            break;
        while (parser.state() == HttpParser::State::complete) {
            const HttpRequest request = parser.take();
            if (request.method.isEmpty() || !request.path.startsWith(u'/') || request.body.size() > limits.maxBodyBytes)
                std::abort();
        }
    }
    if (parser.state() == HttpParser::State::error && (parser.errorStatus() < 400 || parser.errorStatus() > 505))
        std::abort();
    return 0;
}
