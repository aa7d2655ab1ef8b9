// The transcription client's NDJSON reader: the stream cut into lines however
// the bytes arrive, and every line decoded as a stream event. The first input
// byte picks where the stream is split in two; the lines must not depend on it.

#include "core/LineSplitter.h"
#include "stt/TranscriptionTypes.h"

#include <cstdlib>

using namespace dravelin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const qsizetype cut = stream.isEmpty() ? 0 : data[0] % (stream.size() + 1);

    LineSplitter whole;
    std::vector<QByteArray> expected = whole.feed(stream);
    for (auto &line : whole.finish())
        expected.push_back(line);

    LineSplitter parts;
    std::vector<QByteArray> lines = parts.feed(stream.left(cut));
    for (auto &line : parts.feed(stream.mid(cut)))
        lines.push_back(line);
    for (auto &line : parts.finish())
        lines.push_back(line);
    if (lines != expected)
        std::abort();

    for (const QByteArray &line : lines) {
        if (line.isEmpty() || line.contains('\n'))
            std::abort();
        (void)TranscriptionStreamEvent::fromJson(line);
    }
    return 0;
}
