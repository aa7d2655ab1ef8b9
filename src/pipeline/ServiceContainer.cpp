#include "pipeline/ServiceContainer.h"

#include "account/AdminService.h"
#include "account/AuthService.h"
#include "account/KeychainStore.h"
#include "account/NetworkRequestSender.h"
#include "audio/BluetoothMicrophoneMonitor.h"
#include "audio/FileCaptureBackend.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyService.h"
#include "indicator/IndicatorController.h"
#include "output/AudioPlaybackController.h"
#include "output/ClipboardHistory.h"
#include "output/PasteService.h"
#include "output/RecordingUploader.h"
#include "output/TranscriptionQualityReporter.h"
#include "output/UsageService.h"
#include "output/UserDataPaths.h"
#include "pipeline/BackendQualityReporting.h"
#include "pipeline/HeadlessParts.h"
#include "pipeline/PendingTranscriptions.h"
#include "pipeline/RecordingPipeline.h"
#include "platform/linux/AtSpiInspector.h"
#include "platform/linux/CanberraSoundPlayer.h"
#include "platform/linux/DesktopRoads.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PortalGlobalShortcuts.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/PulseAudioOutput.h"
#include "platform/linux/QtPaletteAppearance.h"
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/X11Hotkeys.h"
#include "platform/linux/XkbKeyboardLayout.h"
#include "platform/linux/wayland/WaylandOverlay.h"
#include "platform/linux/wayland/WaylandSession.h"
#include "stt/LiveTranscriptionClient.h"
#include "text/AssistantActions.h"
#include "text/AssistantService.h"
#include "text/Cleanup.h"
#include "text/RewriteService.h"
#include "text/TransformService.h"
#include "text/VocabularyService.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif
#include "stt/TranscriptionService.h"
#include "system/LaunchAtLoginService.h"
#include "system/PermissionProbes.h"
#include "system/PermissionsService.h"
#include "system/SoundFeedback.h"
#include "system/ThemeService.h"
#include "system/UpdateService.h"
#include "text/CleanupService.h"

#include <set>

namespace dravelin {

namespace {

// The microphone: a file when one is given or configured, else PulseAudio.
std::optional<QString> microphoneFile(const std::optional<QString> &given, const UserDefaults &defaults)
{
    if (given)
        return given;
    if (const auto configured = defaults.string(QStringLiteral("mic.inputFile")); configured && !configured->isEmpty())
        return configured;
    return std::nullopt;
}

} // namespace

std::unique_ptr<SpeechRecognizer> ServiceContainer::onDeviceRecognizer(const UserDefaults *defaults)
{
#ifdef DRAVELIN_HAVE_WHISPER
    const QString chosen =
        defaults ? defaults->string(QString::fromLatin1(StreamingDictationRecorder::kModelKey)).value_or(QString())
                 : QString();
    if (auto whisper = std::make_unique<nix::WhisperRecognizer>(nix::WhisperRecognizer::modelPath(chosen));
        whisper->isInstalled())
        return whisper;
    // A chosen model that went away: the default one rather than none.
    if (auto whisper = std::make_unique<nix::WhisperRecognizer>(); !chosen.isEmpty() && whisper->isInstalled()) {
        logs::error(logs::container(),
                    QStringLiteral("Whisper model \"%1\" is not installed; using the default one").arg(chosen));
        return whisper;
    }
#else
    Q_UNUSED(defaults);
#endif
    return std::make_unique<nix::PocketSphinxRecognizer>();
}

QStringList ServiceContainer::installedSpeechModels()
{
#ifdef DRAVELIN_HAVE_WHISPER
    return nix::WhisperRecognizer::installedModels();
#else
    return {};
#endif
}

ServiceContainer::ServiceContainer(Options options, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_scheduler(scheduler)
    , m_defaults(std::make_unique<UserDefaults>(m_options.settingsPath.isEmpty() ? UserDefaults::standardFilePath()
                                                                                 : m_options.settingsPath))
    , m_constants(AppConstants::load())
{
    const QString dataRoot = m_options.dataRoot.isEmpty() ? UserDataPaths::root() : m_options.dataRoot;
    auto workspace = std::make_unique<nix::DesktopWorkspace>();
    m_desktopWorkspace = workspace.get();
    m_workspace = std::move(workspace);
    m_sender = std::make_unique<NetworkRequestSender>();

    // The keychain and the session.
    m_auth = m_options.auth;
    if (!m_auth) {
        m_keychain = std::make_unique<KeychainStore>();
        m_ownAuth = std::make_unique<AuthService>(AuthService::Config{m_constants.baseURL, m_constants.publicApiKey,
                                                                      m_constants.oauthClientID.value_or(QString()),
                                                                      AppConstants::oauthCallbackURL()},
                                                  *m_sender, *m_keychain, *m_workspace, scheduler);
        m_auth = m_ownAuth.get();
    }

    // The recorder.
    if (const auto file = microphoneFile(m_options.inputFile, *m_defaults)) {
        auto backend = std::make_shared<FileCaptureBackend>(*file);
        m_fileBackend = backend.get();
        m_backend = std::move(backend);
    } else {
        m_backend = std::make_shared<nix::PulseAudioBackend>();
    }
    m_recognizer = onDeviceRecognizer(m_defaults.get());
    m_recorder = std::make_unique<StreamingDictationRecorder>(*m_backend, m_recognizer.get(), scheduler, *m_defaults);
    // Dictations stream to the backend's live socket while the user speaks.
    UserDefaults *defaults = m_defaults.get();
    m_recorder->setLiveStreaming(LiveDictationCapture::Config{
        m_constants.liveTranscribeEndpoint(), m_auth, LiveTranscriptionClient::factory(scheduler), [defaults] {
            return FillerWordsSettings::isEnabled(*defaults) ? FillerWordsSettings::words(*defaults) : QStringList{};
        }});

    // Appearance.
    if (m_options.desktop) {
        m_appearance = std::make_unique<nix::QtPaletteAppearance>();
        m_theme = std::make_unique<ThemeService>(*m_defaults, *m_appearance);
        m_theme->apply();
    }

    // The personal vocabulary, mirrored per user; its active terms reach
    // recognition and cleanup through "vocabulary.keyterms.active".
    m_vocabulary =
        std::make_unique<VocabularyService>(VocabularyRemote(m_constants.vocabularyTermsEndpoint(),
                                                             m_constants.publicApiKey, *m_auth, *m_sender, scheduler),
                                            *m_defaults);

    // Usage figures, counted by the backend.
    m_usage = std::make_unique<UsageService>(m_constants.usageEndpoint(), *m_auth, *m_sender);
    // The administrators' dashboard (the backend answers only administrators).
    m_admin = std::make_unique<AdminService>(m_constants.adminDashboardEndpoint(), *m_auth, *m_sender,
                                             m_constants.publicApiKey);

    // Transcription and cleanup.
    m_transcription = std::make_unique<TranscriptionService>(m_constants.transcribeEndpoint(), *m_auth, scheduler);
    m_cloudCleanup = std::make_unique<CleanupService>(m_constants.cleanupEndpoint(), *m_auth, *m_sender, scheduler);
    m_languageModel = std::make_unique<UnavailableLanguageModel>();
    m_cleanup = std::make_unique<LocalCleanupService>(*m_languageModel, *m_cloudCleanup, scheduler);

    // Paste. The clipboard belongs to the GUI application object; without one
    // (a command-line program) the text is presented instead.
    m_pastesOnDesktop = m_options.pasteOnDesktop && nix::QtPasteboard::canExist();
    if (m_options.pasteOnDesktop && !m_pastesOnDesktop)
        logs::error(logs::container(), QStringLiteral("No GUI application object: dictated text is presented, "
                                                      "not pasted"));
    if (m_pastesOnDesktop) {
        // X11 or Wayland, and which of a Wayland compositor's roads it offers.
        m_roads = std::make_unique<nix::DesktopRoads>(nix::DesktopRoads::open());
        if (m_roads->wayland)
            m_desktopWorkspace->followWaylandWindows(m_roads->wayland.get());
        m_keys = std::move(m_roads->keys);
        m_pasteboard = std::move(m_roads->pasteboard);
        m_inspector = std::make_unique<nix::AtSpiInspector>();
        m_paste = std::make_unique<PasteService>(*m_keys, *m_pasteboard, *m_workspace, *m_inspector, scheduler);
    } else {
        m_paste = std::make_unique<PresentOnly>();
    }

    // History, playback, the retry queue, uploads.
    m_history = std::make_unique<ClipboardHistory>(*m_defaults, scheduler, threadQueues(), dataRoot);
    m_audioOutput = std::make_unique<nix::PulseAudioOutput>();
    m_playback = std::make_unique<AudioPlaybackController>(*m_audioOutput, scheduler);
    m_pending = std::make_unique<PendingTranscriptions>(scheduler, dataRoot);
    m_uploader = std::make_unique<RecordingUploader>(*m_auth, m_constants.attachRecordingAudioEndpoint(),
                                                     m_constants.publicApiKey, *m_sender, scheduler);

    // Hotkeys, indicator, sounds.
    if (m_options.desktop) {
        m_layout = nix::XkbKeyboardLayout::fromSession();
        // Wayland gives global keys to the desktop alone: its shortcuts portal
        // reports presses and releases where it exists.
        if (m_roads && m_roads->session == nix::SessionType::wayland)
            m_grabber = std::make_unique<nix::PortalGlobalShortcuts>();
        else
            m_grabber = std::make_unique<nix::X11HotkeyGrabber>();
        m_rawKeys = std::make_unique<nix::XInputRawKeys>();
        m_hotkeyService = std::make_unique<HotkeyService>(*m_defaults, *m_grabber, *m_rawKeys, m_layout.get());
        m_soundPlayer = std::make_unique<nix::CanberraSoundPlayer>();
    } else {
        m_noHotkeys = std::make_unique<NoHotkeys>();
        m_soundPlayer = std::make_unique<SilentSounds>();
    }
    IndicatorPresenting *indicator = nullptr;
    if (m_options.desktop) {
        m_indicatorController = std::make_unique<IndicatorController>(*m_defaults, scheduler);
        indicator = m_indicatorController.get();
        m_bluetoothMicrophones = std::make_unique<BluetoothMicrophoneMonitor>(*m_defaults, scheduler, *m_backend);
        m_bluetoothMicrophones->start();
    } else {
        m_recordedIndicator = std::make_unique<RecordedIndicator>();
        indicator = m_recordedIndicator.get();
    }
    m_sounds = std::make_unique<SoundFeedback>(*m_defaults, *m_soundPlayer);

    // What the desktop lets us do, starting with the session, and updates.
    if (m_options.desktop && m_inspector && m_keys) {
        m_permissions = std::make_unique<PermissionsService>(scheduler, microphoneProbe(m_backend, scheduler),
                                                             accessibilityProbe(*m_inspector, *m_keys));
        m_launchAtLogin = std::make_unique<LaunchAtLoginService>();
        m_updates = std::make_unique<UpdateService>(*m_defaults, scheduler, *m_sender,
                                                    UpdateService::feedURLFor(m_constants.baseURL));
    }

    // Quality reports after each dictation.
    m_qualityReporter = std::make_unique<TranscriptionQualityReporter>(
        m_constants.reportTranscriptionQualityEndpoint(), *m_auth, m_constants.publicApiKey, *m_sender, scheduler);
    m_qualityReporting = std::make_unique<BackendQualityReporting>(*m_qualityReporter);

    // Rewrite, transforms and Ask.
    m_rewrite = std::make_unique<RewriteService>(m_constants.rewriteEndpoint(), *m_auth, *m_sender, scheduler);
    m_assistant = std::make_unique<AssistantService>(m_constants.askEndpoint(), *m_auth, *m_sender);
    m_actions = std::make_unique<AssistantActionExecutor>(*m_workspace);
    TransformHotkeyRegistering &transformHotkeys =
        m_hotkeyService ? static_cast<TransformHotkeyRegistering &>(*m_hotkeyService) : *m_noHotkeys;
    m_transforms = std::make_unique<TransformService>(*m_defaults, transformHotkeys);

    // The pipeline; wiring registers the hotkeys.
    HotkeyHandling &hotkeys = m_hotkeyService ? static_cast<HotkeyHandling &>(*m_hotkeyService) : *m_noHotkeys;
    RecordingPipeline::Collaborators collaborators{
        *m_recorder, *m_transcription, *m_cleanup, *m_paste,         *m_history,
        *indicator,  *m_auth,          hotkeys,    *m_sounds,        *m_workspace,
        *m_defaults, scheduler,        *m_pending, m_uploader.get(), m_qualityReporting.get()};
    collaborators.rewrite = m_rewrite.get();
    collaborators.transforms = m_transforms.get();
    collaborators.assistant = m_assistant.get();
    collaborators.actions = m_actions.get();
    collaborators.pasteboard = m_pasteboard.get();
    collaborators.keys = m_keys.get();
    m_pipeline = std::make_unique<RecordingPipeline>(collaborators);
    m_pipeline->wireUp();
    RecordingPipeline *pipeline = m_pipeline.get();
    m_transforms->wireUp([pipeline = QPointer(pipeline)](QUuid id) {
        if (pipeline)
            pipeline->taskTracker().track(pipeline->runTransform(id));
    });

    // Keystrokes becoming possible after they were not (the accessibility bus
    // came up) lets the hotkeys register again without a restart. The first
    // answer at start-up is not a change.
    if (m_permissions && m_hotkeyService) {
        HotkeyService *hotkeyService = m_hotkeyService.get();
        connect(m_permissions.get(), &PermissionsService::accessibilityChanged, hotkeyService,
                [hotkeyService, last = PermissionStatus::unknown](PermissionStatus status) mutable {
                    if (status == PermissionStatus::granted && last == PermissionStatus::denied) {
                        logs::info(logs::container(), QStringLiteral("Accessibility granted — registering hotkeys"));
                        hotkeyService->registerHotkeys();
                    }
                    last = status;
                });
    }

    // The indicator's buttons and waveform.
    if (IndicatorController *pill = m_indicatorController.get()) {
        pill->onDictateTapped = weakTask(pipeline, &RecordingPipeline::toggleRecord);
        pill->onConfirmTapped = weakTask(pipeline, &RecordingPipeline::toggleRecord);
        pill->onCancelTapped = weakTask(pipeline, &RecordingPipeline::cancelRecord);
        AssistantActionExecutor *actions = m_actions.get();
        pill->onAskSourceTapped = [actions](const QUrl &url) { actions->openSource(url); };
        if (Pasteboard *board = m_pasteboard.get())
            pill->copyToClipboard = [board](const QString &text) { board->setString(text); };
        connect(m_recorder.get(), &StreamingDictationRecorder::levelChanged, pill, &IndicatorController::pushLevel);
        pill->present(IndicatorState::idle());
    }

    // Per-user stores follow the signed-in user.
    connect(m_auth, &AuthService::userChanged, this, [this] { m_tasks.track(switchUser()); });
    // A dictation starting stops a saved recording that is playing.
    AudioPlaybackController *playback = m_playback.get();
    m_pipeline->onRecordingWillStart = [playback] { playback->stop(); };
    // A deleted history entry stops its playback.
    connect(m_history.get(), &ClipboardHistory::entriesChanged, this, [this] {
        std::set<QUuid> ids;
        for (const auto &entry : m_history->entries())
            ids.insert(entry.id);
        m_playback->stopUnlessAmong(ids);
    });

    logs::info(logs::container(),
               QStringLiteral("ServiceContainer initialized — pipeline wired (on-device STT when available)"));
}

FloatingSurface *ServiceContainer::indicatorSurface()
{
    if (!m_indicatorSurface && m_roads && m_roads->wayland && nix::WaylandOverlay::isOffered(*m_roads->wayland)) {
        m_indicatorSurface = std::make_unique<nix::WaylandOverlay>(*m_roads->wayland, QStringLiteral("dravelin"));
        logs::info(logs::container(), QStringLiteral("Indicator on the compositor's overlay layer"));
    }
    return m_indicatorSurface.get();
}

ServiceContainer::~ServiceContainer()
{
    if (m_pipeline)
        m_pipeline->onRecordingWillStart = nullptr;
    // The Wayland connection goes before the workspace that asks it.
    if (m_desktopWorkspace)
        m_desktopWorkspace->followWaylandWindows(nullptr);
}

QCoro::Task<> ServiceContainer::start()
{
    if (m_ownAuth)
        co_await m_ownAuth->load();
    co_await switchUser();
}

QCoro::Task<> ServiceContainer::switchUser()
{
    std::optional<QString> userID;
    if (const auto &user = m_auth->user())
        userID = user->id;
    if (m_userKnown && userID == m_currentUserID)
        co_return;
    m_userKnown = true;
    m_currentUserID = userID;
    QPointer self(this);
    PendingTranscriptions &pending = *m_pending;
    ClipboardHistory &history = *m_history;
    m_vocabulary->switchTo(userID);
    co_await pending.switchTo(userID);
    if (!self)
        co_return;
    co_await history.switchTo(std::move(userID));
}

QString ServiceContainer::lastIndicator() const
{
    return m_recordedIndicator ? m_recordedIndicator->last : m_indicatorController->state().describe();
}

IndicatorState ServiceContainer::lastIndicatorState() const
{
    return m_recordedIndicator ? m_recordedIndicator->state : m_indicatorController->state();
}

} // namespace dravelin
