#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace dravelin {

// What a stopped recorder hands to the pipeline: recognised text where an
// engine produced it, and the recording to upload and to keep.
struct DictationCapture
{
    std::optional<QString> onDeviceText; // text from on-device recognition
    std::optional<QString> liveText;     // final text from the live socket
    std::optional<QByteArray> audio;     // audio for single-shot transcription (.m4a or WAV)
    std::optional<qint64> durationMs;
    QString engine;                      // the recogniser's name
    std::optional<QByteArray> recording; // the recording kept for history
    bool retainRecording = false;
    std::optional<QString> recordingUploadUrl;
    std::optional<QString> recordingObjectKey;

    bool operator==(const DictationCapture &) const = default;
};

} // namespace dravelin
