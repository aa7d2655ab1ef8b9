#include "pipeline/DictationRoad.h"

namespace dravelin {

QString toString(DictationRoad road)
{
    switch (road) {
    case DictationRoad::liveText:
        return QStringLiteral("liveText");
    case DictationRoad::liveRaw:
        return QStringLiteral("liveRaw");
    case DictationRoad::onDevice:
        return QStringLiteral("onDevice");
    case DictationRoad::cloud:
        return QStringLiteral("cloud");
    case DictationRoad::tooShort:
        return QStringLiteral("tooShort");
    case DictationRoad::empty:
        return QStringLiteral("empty");
    }
    return {};
}

DictationRoad chooseRoad(const DictationCapture &capture, const std::optional<QString> &liveRawText)
{
    const auto present = [](const std::optional<QString> &text) { return text && !text->isEmpty(); };
    if (present(capture.liveText))
        return DictationRoad::liveText;
    if (present(liveRawText))
        return DictationRoad::liveRaw;
    if (present(capture.onDeviceText))
        return DictationRoad::onDevice;
    if (capture.audio && capture.audio->size() >= kMinimumAudioBytes)
        return DictationRoad::cloud;
    if (capture.audio && !capture.audio->isEmpty())
        return DictationRoad::tooShort;
    return DictationRoad::empty;
}

OutcomeEffects effectsOf(const DictationOutcome &outcome)
{
    using Cue = SoundFeedback::Cue;
    const auto noSpeech = IndicatorState::notice(QStringLiteral("No speech detected"));
    switch (outcome.kind) {
    case DictationOutcome::Kind::noSpeech:
        return {noSpeech, Cue::discard, std::pair{QualityCategory::noSpeech, QStringLiteral("empty_transcript")}};
    case DictationOutcome::Kind::unprocessable:
        return {noSpeech, Cue::discard, std::pair{QualityCategory::error, QStringLiteral("audio_unprocessable")}};
    case DictationOutcome::Kind::tooShort:
        return {
            IndicatorState::error(QStringLiteral("Microphone returned no audio. Check System Settings → Microphone.")),
            std::nullopt, std::pair{QualityCategory::error, QStringLiteral("audio_unprocessable")}};
    case DictationOutcome::Kind::failed:
        break;
    }
    const BackendError failure = outcome.error.value_or(BackendError::networkError({}));
    const auto apiFailure = std::pair{QualityCategory::error, QStringLiteral("api_failure")};
    switch (failure.kind) {
    case BackendError::Kind::providerFailure:
        return {IndicatorState::error(QStringLiteral("Transcription failed — retry from menu")), Cue::error,
                apiFailure};
    case BackendError::Kind::decodingFailed:
    case BackendError::Kind::unexpectedStatus:
        return {IndicatorState::error(QStringLiteral("Server error — retry from menu")), Cue::error, apiFailure};
    case BackendError::Kind::network:
        return {IndicatorState::error(QStringLiteral("Network error — retry from menu")), Cue::error,
                std::pair{QualityCategory::error, QStringLiteral("network")}};
    case BackendError::Kind::notAuthenticated:
    case BackendError::Kind::unauthorized:
        break;
    }
    return {IndicatorState::signInRequired(), Cue::error, std::nullopt};
}

} // namespace dravelin
