// libFuzzer target: the WebSocket frame parser, fed in pieces. Frames it
// returns must respect the protocol's rules and the payload limit.

#include "http/WebSocket.h"

#include <cstdint>
#include <cstdlib>

using namespace dravelin::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    WebSocketFrameParser parser(4096);
    const size_t piece = 1 + data[0] % 32;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    for (qsizetype i = 0; i < bytes.size() && !parser.failed(); i += static_cast<qsizetype>(piece)) {
        for (const auto &frame : parser.feed(bytes.mid(i, static_cast<qsizetype>(piece)))) {
            if (frame.payload.size() > 4096 || (frame.opcode >= 8 && (!frame.fin || frame.payload.size() > 125)))
                std::abort();
        }
    }
    if (parser.failed() && parser.closeCode() != 1002 && parser.closeCode() != 1009)
        std::abort();
    return 0;
}
