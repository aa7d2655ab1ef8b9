#pragma once

#include "core/Scheduler.h"
#include "pipeline/PipelineServices.h"

namespace dravelin {

class Authenticating;
class CleanupFormatting;
class ClipboardHistoring;
class DictationCapturing;
class HotkeyHandling;
class IndicatorPresenting;
class Pasting;
class RecordingUploading;
class SoundFeedback;
class Transcribing;
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
};

} // namespace dravelin
