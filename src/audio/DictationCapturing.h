#pragma once

#include "audio/AudioRecorderError.h"
#include "audio/DictationCapture.h"
#include "core/Expected.h"

#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>

namespace dravelin {

// The recorder as the dictation pipeline sees it.
class DictationCapturing
{
public:
    virtual ~DictationCapturing() = default;

    // Begins capture. Resolves once the microphone is live, or with the reason
    // it could not start (permissionDenied when access is refused).
    virtual QCoro::Task<Expected<void, AudioRecorderError>> start(std::optional<QString> appBundleID,
                                                                  QUuid clientRecordingId) = 0;
    // Stops capture (after its short tail) and hands over what was captured;
    // nothing when there was no capture to stop.
    virtual QCoro::Task<std::optional<DictationCapture>> stopCapture() = 0;
    // Stops capture and throws it away.
    virtual QCoro::Task<> cancel() = 0;

    // Whether a recogniser has confirmed speech in the current capture.
    virtual bool heardSpeech() const = 0;
    // The latest microphone level, 0…1.
    virtual float currentLevel() const = 0;

    // The streaming dictation recorder has a fallback file recorder with a length
    // cap, a live road that reports raw text early, and a microphone it can warm
    // up. Other recorders keep these defaults.
    virtual bool isStreamingRecorder() const { return false; }
    virtual void setOnAutoStop(std::function<void()> callback) { Q_UNUSED(callback); }
    virtual void setOnLiveRaw(std::function<void(QString)> callback) { Q_UNUSED(callback); }
    virtual QCoro::Task<> prewarm() { co_return; }
};

} // namespace dravelin
