#pragma once

#include "account/BackendError.h"
#include "audio/DictationCapture.h"
#include "core/Scheduler.h"
#include "indicator/IndicatorState.h"
#include "pipeline/PipelineServices.h"
#include "system/SoundFeedback.h"

#include <QString>
#include <QUuid>

#include <optional>

namespace dravelin {

// A stopped dictation with what the pipeline knew about it when it started:
// handed over by value, so delivering it never reads the pipeline's fields
// while a newer dictation may be under way.
// Raw text the live socket sent while recording.
struct LiveRaw
{
    std::optional<QString> text;    // trimmed
    std::optional<QString> target;  // the application that had the focus when it came
    bool pasted = false;            // pasted at once, to be replaced by the cleaned text
    std::optional<Millis> pastedAt; // when that paste ended (the scheduler's clock)
};

struct FinishedCapture
{
    DictationCapture capture;
    std::optional<QString> attributionBundleID; // the application it was dictated into
    QUuid recordingID;
    LiveRaw liveRaw;
};

// How a finished dictation reaches the user, first fitting road first.
enum class DictationRoad {
    liveText, // the live socket's final text
    liveRaw,  // the final timed out, but raw text arrived while recording
    onDevice, // on-device recognition's text
    cloud,    // the recording goes to single-shot transcription
    tooShort, // a recording too small to hold audio
    empty,    // nothing at all
};

QString toString(DictationRoad road);

// Below this many bytes a recording cannot hold audio.
inline constexpr int kMinimumAudioBytes = 200;

DictationRoad chooseRoad(const DictationCapture &capture, const std::optional<QString> &liveRawText);

// How a dictation ended when it did not deliver text.
struct DictationOutcome
{
    enum class Kind {
        noSpeech,      // a transcript came back empty
        unprocessable, // no capture, or an empty one
        tooShort,      // a recording too small to hold audio
        failed,        // the backend refused or could not be reached
    };
    Kind kind;
    std::optional<BackendError> error; // for `failed`
};

// What the user sees and hears, and what the quality report says, for an
// outcome. The one place this mapping is written.
struct OutcomeEffects
{
    IndicatorState indicator;
    std::optional<SoundFeedback::Cue> cue;
    std::optional<std::pair<QualityCategory, QString>> quality;
};

OutcomeEffects effectsOf(const DictationOutcome &outcome);

} // namespace dravelin
