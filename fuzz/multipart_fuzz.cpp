// libFuzzer target: the multipart/form-data parser. Every part it accepts
// must have a name and lie inside the body.

#include "http/Multipart.h"

#include <cstdint>
#include <cstdlib>

using namespace dravelin::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto parts = parseMultipart(body, "Boundary-F00D");
    if (parts) {
        qsizetype total = 0;
        for (const auto &part : *parts) {
            if (part.name.isEmpty())
                std::abort();
            total += part.data.size();
        }
        if (total > body.size())
            std::abort();
    }
    multipartBoundary(body.left(300));
    return 0;
}
