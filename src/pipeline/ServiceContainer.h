#pragma once

#include "account/AppConstants.h"
#include "core/Scheduler.h"
#include "core/Tasks.h"
#include "indicator/IndicatorState.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace dravelin {

namespace nix {
struct DesktopRoads;
class DesktopWorkspace;
} // namespace nix
class AudioCaptureBackend;
class FloatingSurface;
class AudioOutput;
class AudioPlaybackController;
class AuthService;
class BackendQualityReporting;
class NetworkRequestSender;
class AuthSessionStoring;
class BluetoothMicrophoneMonitor;
class ClipboardHistory;
class CleanupService;
class FileCaptureBackend;
class GlobalHotkeyGrabber;
class HotkeyHandling;
class HotkeyService;
class NoHotkeys;
class IndicatorController;
class IndicatorPresenting;
class KeyboardLayout;
class LanguageModel;
class LocalCleanupService;
class Pasting;
class PendingTranscriptions;
class PermissionsService;
class LaunchAtLoginService;
class UpdateService;
class RawKeyEvents;
class RecordedIndicator;
class RecordingPipeline;
class RecordingUploader;
class SoundFeedback;
class SoundPlayer;
class SpeechRecognizer;
class StreamingDictationRecorder;
class ThemeService;
class Appearance;
class TranscriptionQualityReporter;
class VocabularyService;
class TranscriptionService;
class UsageService;
class UserDefaults;
class Workspace;
class KeySynthesizer;
class Pasteboard;
class AccessibilityInspector;
class AdminService;
class AssistantActionExecutor;
class AssistantService;
class RewriteService;
class TransformService;

// The composition root: builds every long-lived service in a fixed order,
// hands them to one another, wires the dictation pipeline, and re-points the
// per-user stores whenever the signed-in user changes. The only place that
// names the platform's concrete types.
//
// Main-thread only. Services live as long as the container.
class ServiceContainer final : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString settingsPath; // empty: the user's settings file
        QString dataRoot;     // empty: the user's data folder
        // Play this file as the microphone; none: the file named by
        // "mic.inputFile" if any, else the real microphone.
        std::optional<QString> inputFile;
        // The resident app: global hotkeys, sound cues, the light/dark palette.
        bool desktop = true;
        // Paste into the focused X11 window; otherwise the text is presented.
        // Needs a QGuiApplication (the clipboard lives there).
        bool pasteOnDesktop = true;
        // An auth service built by the caller; none: the container builds one
        // on the desktop keyring.
        AuthService *auth = nullptr;
    };

    ServiceContainer(Options options, Scheduler &scheduler, QObject *parent = nullptr);

    // On-device recognition: Whisper when its model is installed, PocketSphinx
    // otherwise. The model loads when recognition is first used, so an app
    // that sends its recordings to the server never holds it in memory.
    // `defaults` names the Whisper model ("stt.model"); none: the default one.
    static std::unique_ptr<SpeechRecognizer> onDeviceRecognizer(const UserDefaults *defaults = nullptr);
    // The Whisper models installed on this machine, by name.
    static QStringList installedSpeechModels();
    ~ServiceContainer() override;

    // Loads the saved session (own auth service only) and opens the signed-in
    // user's stores.
    QCoro::Task<> start();

    UserDefaults &defaults() { return *m_defaults; }
    // Microphone and keystroke access; none in a headless container.
    PermissionsService *permissions() { return m_permissions.get(); }
    LaunchAtLoginService *launchAtLogin() { return m_launchAtLogin.get(); }
    UpdateService *updates() { return m_updates.get(); }
    const AppConstants &constants() const { return m_constants; }
    AuthService &auth() { return *m_auth; }
    ThemeService *theme() { return m_theme.get(); }
    ClipboardHistory &history() { return *m_history; }
    // Plays the history's saved recordings.
    AudioPlaybackController &playback() { return *m_playback; }
    // The speakers.
    AudioOutput &audioOutput() { return *m_audioOutput; }
    Scheduler &scheduler() { return m_scheduler; }
    Pasting &paste() { return *m_paste; }
    // The desktop's hotkeys; none in a headless container.
    HotkeyService *hotkeyService() { return m_hotkeyService.get(); }
    SoundFeedback &sounds() { return *m_sounds; }
    RecordingPipeline &pipeline() { return *m_pipeline; }
    RecordingUploader &uploader() { return *m_uploader; }
    UsageService &usage() { return *m_usage; }
    AdminService &admin() { return *m_admin; }
    RewriteService &rewrite() { return *m_rewrite; }
    AssistantService &assistant() { return *m_assistant; }
    // Opens the web pages the assistant answers with.
    AssistantActionExecutor &assistantActions() { return *m_actions; }
    TransformService &transforms() { return *m_transforms; }
    TranscriptionQualityReporter &qualityReporter() { return *m_qualityReporter; }
    // The signed-in user's recordings waiting to be sent again.
    PendingTranscriptions &pending() { return *m_pending; }
    // The signed-in user's personal vocabulary.
    VocabularyService &vocabulary() { return *m_vocabulary; }
    StreamingDictationRecorder &recorder() { return *m_recorder; }
    const KeyboardLayout *keyboardLayout() const { return m_layout.get(); }
    // The capture stack (shared: device listings run on a thread of their own).
    std::shared_ptr<AudioCaptureBackend> captureBackend() { return m_backend; }
    // The file played as the microphone, if one is.
    FileCaptureBackend *fileMicrophone() { return m_fileBackend; }
    // The on-screen indicator's controller; none in a headless container.
    IndicatorController *indicator() { return m_indicatorController.get(); }
    // Prompts when a Bluetooth microphone connects; none in a headless container.
    BluetoothMicrophoneMonitor *bluetoothMicrophones() { return m_bluetoothMicrophones.get(); }
    // What the indicator shows (or, headless, showed last).
    QString lastIndicator() const;
    IndicatorState lastIndicatorState() const;
    // Where the floating panels draw on a desktop that would otherwise place
    // and focus them like any window (a Wayland compositor with a layer
    // shell); null where an ordinary window does.
    FloatingSurface *indicatorSurface();
    // Whether text is pasted (false: presented, as without a desktop).
    bool pastesOnDesktop() const { return m_pastesOnDesktop; }

private:
    QCoro::Task<> switchUser();

    Options m_options;
    Scheduler &m_scheduler;
    std::unique_ptr<UserDefaults> m_defaults;
    AppConstants m_constants;
    std::unique_ptr<Workspace> m_workspace;
    nix::DesktopWorkspace *m_desktopWorkspace = nullptr; // m_workspace as the Linux class
    std::unique_ptr<NetworkRequestSender> m_sender;
    std::unique_ptr<AuthSessionStoring> m_keychain;
    std::unique_ptr<AuthService> m_ownAuth;
    AuthService *m_auth = nullptr;
    std::shared_ptr<AudioCaptureBackend> m_backend;
    FileCaptureBackend *m_fileBackend = nullptr;
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    std::unique_ptr<StreamingDictationRecorder> m_recorder;
    std::unique_ptr<Appearance> m_appearance;
    std::unique_ptr<ThemeService> m_theme;
    std::unique_ptr<TranscriptionService> m_transcription;
    std::unique_ptr<CleanupService> m_cloudCleanup;
    std::unique_ptr<LanguageModel> m_languageModel;
    std::unique_ptr<LocalCleanupService> m_cleanup;
    // Before the keys and the clipboard: they use its Wayland connection.
    std::unique_ptr<nix::DesktopRoads> m_roads;
    std::unique_ptr<FloatingSurface> m_indicatorSurface;
    std::unique_ptr<KeySynthesizer> m_keys;
    std::unique_ptr<Pasteboard> m_pasteboard;
    std::unique_ptr<AccessibilityInspector> m_inspector;
    std::unique_ptr<Pasting> m_paste;
    bool m_pastesOnDesktop = false;
    std::unique_ptr<ClipboardHistory> m_history;
    std::unique_ptr<AudioOutput> m_audioOutput;
    std::unique_ptr<AudioPlaybackController> m_playback;
    std::unique_ptr<PendingTranscriptions> m_pending;
    std::unique_ptr<VocabularyService> m_vocabulary;
    std::unique_ptr<RecordingUploader> m_uploader;
    std::unique_ptr<KeyboardLayout> m_layout;
    std::unique_ptr<GlobalHotkeyGrabber> m_grabber;
    std::unique_ptr<RawKeyEvents> m_rawKeys;
    std::unique_ptr<HotkeyService> m_hotkeyService;
    std::unique_ptr<NoHotkeys> m_noHotkeys;
    std::unique_ptr<IndicatorController> m_indicatorController;
    std::unique_ptr<BluetoothMicrophoneMonitor> m_bluetoothMicrophones;
    std::unique_ptr<RecordedIndicator> m_recordedIndicator;
    std::unique_ptr<SoundPlayer> m_soundPlayer;
    std::unique_ptr<SoundFeedback> m_sounds;
    std::unique_ptr<UsageService> m_usage;
    std::unique_ptr<AdminService> m_admin;
    std::unique_ptr<RewriteService> m_rewrite;
    std::unique_ptr<AssistantService> m_assistant;
    std::unique_ptr<AssistantActionExecutor> m_actions;
    std::unique_ptr<TransformService> m_transforms;
    std::unique_ptr<TranscriptionQualityReporter> m_qualityReporter;
    std::unique_ptr<BackendQualityReporting> m_qualityReporting;
    std::unique_ptr<RecordingPipeline> m_pipeline;
    std::unique_ptr<PermissionsService> m_permissions;
    std::unique_ptr<LaunchAtLoginService> m_launchAtLogin;
    std::unique_ptr<UpdateService> m_updates;
    std::optional<QString> m_currentUserID;
    bool m_userKnown = false;
    TaskTracker m_tasks;
};

} // namespace dravelin
