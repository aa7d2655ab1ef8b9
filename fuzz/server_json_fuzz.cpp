// What the server reads from a client as JSON or near it: request bodies
// through the limited parser (the default limits every route uses) and
// bearer tokens through the JWT check. Nothing may crash or run away; a
// document that parses must encode and parse back to itself, and no forged
// token may pass the check.

#include "auth/Jwt.h"
#include "core/Json.h"

#include <cstdlib>

using namespace dravelin;
using namespace dravelin::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const auto parsed = json::parse(bytes)) {
        const auto again = json::parse(json::encode(*parsed));
        if (!again || *again != *parsed)
            std::abort();
    }
    // Signed with a secret the input cannot know: nothing it holds may verify.
    if (verifyJwt(bytes, QByteArrayLiteral("fuzz-secret-the-input-never-sees"), 1'700'000'000))
        std::abort();
    (void)fromBase64Url(bytes);
    return 0;
}
