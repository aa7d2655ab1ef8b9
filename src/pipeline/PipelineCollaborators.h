#pragma once

#include "core/Scheduler.h"
#include "pipeline/PipelineServices.h"

namespace dravelin {

class AssistantActionExecuting;
class AssistantAnswering;
class Authenticating;
class CleanupFormatting;
class ClipboardHistoring;
class DictationCapturing;
class HotkeyHandling;
class IndicatorPresenting;
class KeySynthesizer;
class Pasteboard;
class Pasting;
class RecordingUploading;
class Rewriting;
class SoundFeedback;
class Transcribing;
class TransformService;
class UserDefaults;
class Workspace;

// Everything a dictation touches, owned by the service container, which
// keeps them alive longer than the pipeline.
struct PipelineCollaborators
{
    DictationCapturing &recorder;
    Transcribing &transcription;
    CleanupFormatting &cleanupFormatter;
    Pasting &paste;
    ClipboardHistoring &history;
    IndicatorPresenting &indicator;
    Authenticating &auth;
    HotkeyHandling &hotkeys;
    SoundFeedback &sounds;
    Workspace &workspace;
    UserDefaults &defaults;
    Scheduler &scheduler; // must outlive the pipeline and its tasks
    PendingTranscribing &pending;
    RecordingUploading *uploader = nullptr; // none: recordings are never uploaded
    QualityReporting *quality = nullptr;    // none: no quality reports
    // Rewriting the selection and Ask. A program without a desktop has no
    // clipboard or keystrokes (the flows then say so and do nothing).
    Rewriting *rewrite = nullptr;
    TransformService *transforms = nullptr;
    AssistantAnswering *assistant = nullptr;
    AssistantActionExecuting *actions = nullptr;
    Pasteboard *pasteboard = nullptr;
    KeySynthesizer *keys = nullptr;
};

} // namespace dravelin
