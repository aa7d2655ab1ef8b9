#pragma once

#include "audio/Pcm.h"
#include "core/Expected.h"

#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace dravelin {

// Encodes 16 kHz mono float PCM to AAC-LC in an MPEG-4 audio file (.m4a) at
// 32 kbit/s through FFmpeg. append() is called on the capture queue and
// finish() on the main thread: a lock keeps them apart. The first failure is
// sticky: later appends do nothing.
class AACFileWriter
{
public:
    static constexpr int kBitRate = 32000;

    static Expected<std::unique_ptr<AACFileWriter>, QString> create(const QString &path,
                                                                    int sampleRate = PcmBuffer::kSampleRate);
    ~AACFileWriter();

    // An error message, or nothing when the samples were taken.
    std::optional<QString> append(const PcmBuffer &buffer);
    // Encodes what is buffered and closes the file (idempotent).
    std::optional<QString> finish();

    // "16000 Hz mono AAC"
    QString formatDescription() const;

private:
    AACFileWriter() = default;
    std::optional<QString> encodePending(bool flush);
    std::optional<QString> encodeFrame(const float *samples, int count);
    std::optional<QString> drainPackets();

    struct FFmpeg;
    std::unique_ptr<FFmpeg> m_ff;
    std::mutex m_mutex;
    std::vector<float> m_pending;
    qint64 m_samplesEncoded = 0;
    int m_sampleRate = PcmBuffer::kSampleRate;
    bool m_failed = false;
    bool m_closed = false;
};

// What an audio file holds before conversion.
struct AudioFileInfo
{
    QString codec; // "aac", "pcm_s16le" …
    int sampleRate = 0;
    int channels = 0;
    bool tooLong = false; // decoding stopped at the limit
};

// Decodes any audio FFmpeg reads (m4a, wav, mp3 …) to 16 kHz mono float.
// With `maxSamples`, a file that decodes to more (a few hundred kilobytes of
// compressed silence can hold hours) fails as soon as it passes the limit,
// before the rest is decoded, with `info->tooLong` set.
Expected<std::vector<float>, QString> decodeAudio(const QByteArray &bytes, AudioFileInfo *info = nullptr,
                                                  std::optional<qint64> maxSamples = std::nullopt);

} // namespace dravelin
