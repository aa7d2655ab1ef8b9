// JSON from the network: the limited parser, then every decoder of a backend
// reply the app reads. Nothing may crash or run away; a document that parses
// must encode and parse back to itself.

#include "account/AdminDashboardData.h"
#include "account/AuthError.h"
#include "core/Json.h"
#include "output/UsageStats.h"
#include "stt/TranscriptionTypes.h"
#include "text/AssistantResponse.h"

#include <cstdlib>

using namespace dravelin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    (void)TranscriptionResponse::fromJson(bytes);
    (void)AssistantResponseParser::decode(bytes);
    const auto parsed = json::parse(bytes, json::ParseLimits{16, 64});
    if (!parsed)
        return 0;
    const auto again = json::parse(json::encode(*parsed), json::ParseLimits{16, 64});
    if (!again || *again != *parsed)
        std::abort();
    (void)AdminDashboardData::fromJson(*parsed);
    (void)UsageStats::fromJson(*parsed);
    (void)AuthUser::fromJson(*parsed);
    return 0;
}
