#include "audio/Pcm.h"

#include <QtEndian>

#include <algorithm>

namespace dravelin {

QByteArray pcm16(const float *samples, size_t count)
{
    QByteArray out(static_cast<qsizetype>(count * 2), Qt::Uninitialized);
    auto *dst = reinterpret_cast<uchar *>(out.data());
    for (size_t i = 0; i < count; ++i) {
        const float clamped = std::clamp(samples[i], -1.0f, 1.0f);
        const auto value = static_cast<qint16>(clamped * 32767.0f); // truncates toward zero
        qToLittleEndian(value, dst + 2 * i);
    }
    return out;
}

QByteArray pcm16(const PcmBuffer &buffer)
{
    return pcm16(buffer.samples.data(), buffer.samples.size());
}

namespace WAVWrapper {

QByteArray wrap(const QByteArray &pcm, int sampleRate)
{
    QByteArray out(44, Qt::Uninitialized);
    auto *h = reinterpret_cast<uchar *>(out.data());
    const auto length = static_cast<quint32>(pcm.size());
    // Four-byte chunk tags, not strings: no terminating zero belongs there.
    std::memcpy(h, "RIFF", 4); // NOLINT(bugprone-not-null-terminated-result)
    qToLittleEndian<quint32>(length + 36, h + 4);
    std::memcpy(h + 8, "WAVEfmt ", 8); // NOLINT(bugprone-not-null-terminated-result)
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20); // PCM
    qToLittleEndian<quint16>(1, h + 22); // mono
    qToLittleEndian<quint32>(static_cast<quint32>(sampleRate), h + 24);
    qToLittleEndian<quint32>(static_cast<quint32>(sampleRate) * 2, h + 28);
    qToLittleEndian<quint16>(2, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    std::memcpy(h + 36, "data", 4); // NOLINT(bugprone-not-null-terminated-result)
    qToLittleEndian<quint32>(length, h + 40);
    out += pcm;
    return out;
}

} // namespace WAVWrapper

} // namespace dravelin
