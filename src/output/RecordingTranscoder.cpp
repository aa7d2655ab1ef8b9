#include "output/RecordingTranscoder.h"

#include "audio/AACFileWriter.h"

#include <QFile>
#include <QtEndian>

namespace dravelin::RecordingTranscoder {

namespace {

constexpr qint64 kFramesPerRead = 16384;

struct WavFormat
{
    int audioFormat = 0; // 1 PCM, 3 float
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    qint64 dataOffset = -1;
    qint64 dataSize = 0;
};

// Walks the RIFF chunks up to the data chunk.
std::optional<WavFormat> readHeader(QFile &file)
{
    const QByteArray riff = file.read(12);
    if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
        return std::nullopt;
    WavFormat format;
    while (true) {
        const QByteArray chunk = file.read(8);
        if (chunk.size() < 8)
            return std::nullopt;
        const quint32 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
        if (chunk.startsWith("fmt ")) {
            const QByteArray fmt = file.read(size);
            if (fmt.size() < 16)
                return std::nullopt;
            format.audioFormat = qFromLittleEndian<quint16>(fmt.constData());
            format.channels = qFromLittleEndian<quint16>(fmt.constData() + 2);
            format.sampleRate = static_cast<int>(qFromLittleEndian<quint32>(fmt.constData() + 4));
            format.bitsPerSample = qFromLittleEndian<quint16>(fmt.constData() + 14);
            if (size % 2)
                file.read(1);
        } else if (chunk.startsWith("data")) {
            format.dataOffset = file.pos();
            format.dataSize = std::min<qint64>(size, file.size() - file.pos());
            return format;
        } else if (!file.seek(file.pos() + size + (size % 2))) {
            return std::nullopt;
        }
    }
}

} // namespace

QString TranscodeError::description() const
{
    switch (kind) {
    case Kind::formatMismatch:
        return QStringLiteral("format mismatch: ") + detail;
    case Kind::bufferAllocationFailed:
        return QStringLiteral("buffer allocation failed");
    case Kind::emptyOutput:
        return QStringLiteral("the encoded file is empty");
    case Kind::io:
        return detail;
    }
    return detail;
}

Container sniff(const QByteArray &data)
{
    if (data.size() < 12)
        return Container::unknown;
    if (data.startsWith("RIFF") && data.mid(8, 4) == "WAVE")
        return Container::wav;
    if (data.mid(4, 4) == "ftyp")
        return Container::mpeg4;
    return Container::unknown;
}

Expected<void, TranscodeError> encodeAAC(const QString &wavPath, const QString &m4aPath)
{
    using K = TranscodeError::Kind;
    QFile input(wavPath);
    if (!input.open(QIODevice::ReadOnly))
        return Unexpected(TranscodeError{K::io, input.errorString()});
    const auto format = readHeader(input);
    if (!format)
        return Unexpected(TranscodeError{K::formatMismatch, QStringLiteral("not a readable WAV file")});
    const bool pcm16 = format->audioFormat == 1 && format->bitsPerSample == 16;
    const bool float32 = format->audioFormat == 3 && format->bitsPerSample == 32;
    if (format->sampleRate != PcmBuffer::kSampleRate || format->channels != 1 || (!pcm16 && !float32)) {
        return Unexpected(TranscodeError{K::formatMismatch, QStringLiteral("%1 Hz, %2 channel(s), %3-bit")
                                                                .arg(format->sampleRate)
                                                                .arg(format->channels)
                                                                .arg(format->bitsPerSample)});
    }
    auto writer = AACFileWriter::create(m4aPath);
    if (!writer)
        return Unexpected(TranscodeError{K::io, writer.error()});

    const int bytesPerFrame = format->bitsPerSample / 8;
    qint64 remaining = format->dataSize;
    PcmBuffer buffer;
    buffer.samples.reserve(kFramesPerRead);
    while (remaining >= bytesPerFrame) {
        const QByteArray chunk = input.read(std::min(remaining, kFramesPerRead * bytesPerFrame));
        if (chunk.isEmpty())
            break;
        remaining -= chunk.size();
        const qsizetype frames = chunk.size() / bytesPerFrame;
        buffer.samples.resize(static_cast<size_t>(frames));
        for (qsizetype i = 0; i < frames; ++i) {
            const char *at = chunk.constData() + i * bytesPerFrame;
            buffer.samples[static_cast<size_t>(i)] =
                pcm16 ? static_cast<float>(qFromLittleEndian<qint16>(at)) / 32768.0f : qFromLittleEndian<float>(at);
        }
        if (const auto failure = (*writer)->append(buffer))
            return Unexpected(TranscodeError{K::io, *failure});
    }
    if (const auto failure = (*writer)->finish())
        return Unexpected(TranscodeError{K::io, *failure});

    QFile output(m4aPath);
    if (!output.open(QIODevice::ReadOnly))
        return Unexpected(TranscodeError{K::emptyOutput, {}});
    const auto decoded = decodeAudio(output.readAll());
    if (!decoded || decoded->empty())
        return Unexpected(TranscodeError{K::emptyOutput, {}});
    return {};
}

} // namespace dravelin::RecordingTranscoder
