#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QString>

namespace dravelin::RecordingTranscoder {

enum class Container {
    wav,
    mpeg4,
    unknown
};

struct TranscodeError
{
    enum class Kind {
        formatMismatch,         // not 16 kHz mono PCM
        bufferAllocationFailed, // kept for the error vocabulary; reading never allocates per file
        emptyOutput,            // the encoder produced no audio
        io                      // a file could not be read or written
    };
    Kind kind = Kind::io;
    QString detail;
    QString description() const;
};

// RIFF…WAVE is a WAV file; "ftyp" at bytes 4-7 is MPEG-4; anything shorter
// than 12 bytes or else is unknown.
Container sniff(const QByteArray &data);

// Converts a 16 kHz mono PCM WAV file to AAC in MPEG-4 (16 kHz, mono,
// 32 kbit/s), streaming 16384 frames at a time, and checks that the result
// holds audio.
Expected<void, TranscodeError> encodeAAC(const QString &wavPath, const QString &m4aPath);

} // namespace dravelin::RecordingTranscoder
