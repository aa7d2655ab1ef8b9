// The browser's request on the sign-in loopback listener: any local program
// can send one. Nothing may crash; only a GET may count as a callback.

#include "account/OAuth.h"

#include <cstdlib>

using namespace dravelin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto result = OAuthLoopbackParser::parse(bytes);
    if (result.outcome == OAuthLoopbackParser::Outcome::callback && !bytes.startsWith("GET "))
        std::abort();
    return 0;
}
