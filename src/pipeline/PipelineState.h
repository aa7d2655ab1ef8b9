#pragma once

#include <QString>

namespace dravelin {

enum class PipelineState {
    idle,
    recording,
    processing
};

// Where the record hotkey's hold-or-double-tap gesture stands.
enum class HoldSubState {
    idle,
    armed,
    awaitingSecondTap,
    continuousRecording
};

// A request that arrived while the recorder was still starting.
enum class PendingStartAction {
    stop,
    discard,
    submitAsk
};

enum class CapturePurpose {
    dictation,
    ask
};

QString toString(PipelineState state);
QString toString(PendingStartAction action);

} // namespace dravelin
