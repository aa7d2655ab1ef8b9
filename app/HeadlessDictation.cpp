#include "HeadlessDictation.h"

#include "account/AuthService.h"
#include "account/NetworkRequestSender.h"
#include "audio/FileCaptureBackend.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyHandling.h"
#include "indicator/IndicatorPresenting.h"
#include "output/ClipboardHistory.h"
#include "output/PasteService.h"
#include "output/RecordingUploader.h"
#include "platform/SoundPlayer.h"
#include "platform/linux/AtSpiInspector.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioCapture.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/XTestKeySynthesizer.h"
#include "stt/TranscriptionService.h"
#include "system/SoundFeedback.h"
#include "text/CleanupService.h"

namespace dravelin {

namespace {

// Remembers what the indicator would show.
class RecordedIndicator final : public IndicatorPresenting
{
public:
    void present(const IndicatorState &state, std::optional<Millis>) override
    {
        last = state.describe();
        logs::debug(logs::indicator(), QStringLiteral("Indicator: %1").arg(last));
    }
    void hide() override { last = QStringLiteral("hidden"); }
    QString last = QStringLiteral("hidden");
};

// No global hotkeys: the caller drives the pipeline.
class NoHotkeys final : public HotkeyHandling
{
public:
    HotkeyCallbacks &callbacks() override { return m_callbacks; }
    void registerHotkeys() override {}
    void registerCancelHotkey() override {}
    void unregisterCancelHotkey() override {}
    void resetAskGesture() override {}

private:
    HotkeyCallbacks m_callbacks;
};

class SilentSounds final : public SoundPlayer
{
public:
    QString soundLocation() const override { return {}; }
    void play(const QString &, Completion done) override
    {
        if (done)
            done(Outcome::played, {});
    }
};

// Without a desktop nothing can be pasted: the text is presented.
class PresentOnly final : public Pasting
{
public:
    QCoro::Task<> paste(QString, std::optional<QString>, bool) override { co_return; }
    QCoro::Task<bool> replacePastedText(QString, QString, std::optional<QString>, bool) override { co_return false; }
    QCoro::Task<EditableFocus> focusedEditableTarget(std::optional<QString>) override
    {
        co_return EditableFocus::notEditable;
    }
    QCoro::Task<> waitForModifiersToClear() override { co_return; }
};

} // namespace

struct HeadlessDictation::Parts
{
    Parts(const Options &options, AuthService &authService, Scheduler &sched)
        : auth(authService)
        , scheduler(sched)
        , defaults(options.settingsPath)
        , constants(AppConstants::load())
    {
        if (options.inputFile) {
            auto file = std::make_unique<FileCaptureBackend>(*options.inputFile);
            fileBackend = file.get();
            backend = std::move(file);
        } else {
            backend = std::make_unique<nix::PulseAudioBackend>();
        }
        // On-device recognition (when "stt.preferCloud" is off): Whisper when
        // its model is installed, PocketSphinx otherwise.
#ifdef DRAVELIN_HAVE_WHISPER
        if (auto whisper = std::make_unique<nix::WhisperRecognizer>(); whisper->isAvailable())
            recognizer = std::move(whisper);
#endif
        if (!recognizer)
            recognizer = std::make_unique<nix::PocketSphinxRecognizer>();
        recorder = std::make_unique<StreamingDictationRecorder>(*backend, recognizer.get(), scheduler, defaults);
        transcription = std::make_unique<TranscriptionService>(constants.transcribeEndpoint(), auth, scheduler);
        cloudCleanup = std::make_unique<CleanupService>(constants.cleanupEndpoint(), auth, sender, scheduler);
        cleanup = std::make_unique<LocalCleanupService>(noModel, *cloudCleanup, scheduler);
        if (options.pasteOnDesktop) {
            keys = std::make_unique<nix::XTestKeySynthesizer>();
            pasteboard = std::make_unique<nix::QtPasteboard>();
            inspector = std::make_unique<nix::AtSpiInspector>();
            paste = std::make_unique<PasteService>(*keys, *pasteboard, workspace, *inspector, scheduler);
        } else {
            paste = std::make_unique<PresentOnly>();
        }
        history = std::make_unique<ClipboardHistory>(defaults, scheduler, threadQueues(), options.dataRoot);
        uploader = std::make_unique<RecordingUploader>(auth, constants.attachRecordingAudioEndpoint(),
                                                       constants.publicApiKey, sender, scheduler);
        sounds = std::make_unique<SoundFeedback>(defaults, silent);
        pipeline = std::make_unique<RecordingPipeline>(RecordingPipeline::Collaborators{
            *recorder, *transcription, *cleanup, *paste, *history, indicator, auth, hotkeys, *sounds, workspace,
            defaults, scheduler, pending, uploader.get(), nullptr});
        pipeline->wireUp();
    }

    AuthService &auth;
    Scheduler &scheduler;
    UserDefaults defaults;
    AppConstants constants;
    NetworkRequestSender sender;
    std::unique_ptr<AudioCaptureBackend> backend;
    FileCaptureBackend *fileBackend = nullptr;
    std::unique_ptr<SpeechRecognizer> recognizer;
    std::unique_ptr<StreamingDictationRecorder> recorder;
    std::unique_ptr<TranscriptionService> transcription;
    std::unique_ptr<CleanupService> cloudCleanup;
    UnavailableLanguageModel noModel;
    std::unique_ptr<LocalCleanupService> cleanup;
    nix::DesktopWorkspace workspace;
    std::unique_ptr<KeySynthesizer> keys;
    std::unique_ptr<Pasteboard> pasteboard;
    std::unique_ptr<AccessibilityInspector> inspector;
    std::unique_ptr<Pasting> paste;
    std::unique_ptr<ClipboardHistory> history;
    std::unique_ptr<RecordingUploader> uploader;
    NullPendingQueue pending;
    RecordedIndicator indicator;
    NoHotkeys hotkeys;
    SilentSounds silent;
    std::unique_ptr<SoundFeedback> sounds;
    std::unique_ptr<RecordingPipeline> pipeline;
};

HeadlessDictation::HeadlessDictation(Options options, AuthService &auth, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_parts(std::make_unique<Parts>(options, auth, scheduler))
{}

HeadlessDictation::~HeadlessDictation() = default;

QCoro::Task<> HeadlessDictation::attachHistory()
{
    // Named first: g++ 12 destroys a temporary made by ?: inside co_await twice.
    std::optional<QString> userID;
    if (const auto &user = m_parts->auth.user())
        userID = user->id;
    ClipboardHistory &history = *m_parts->history;
    co_await history.switchTo(std::move(userID));
}

QCoro::Task<bool> HeadlessDictation::start()
{
    RecordingPipeline &pipeline = *m_parts->pipeline;
    co_await pipeline.toggleRecord();
    // The recorder goes live asynchronously; wait for it (bounded).
    for (int i = 0; i < 200 && pipeline.isStarting(); ++i)
        co_await m_parts->scheduler.sleep(Millis(10));
    co_return pipeline.state() == PipelineState::recording;
}

QCoro::Task<> HeadlessDictation::stop()
{
    RecordingPipeline &pipeline = *m_parts->pipeline;
    co_await pipeline.toggleRecord();
}

QCoro::Task<> HeadlessDictation::drain(Millis limit)
{
    Scheduler &scheduler = m_parts->scheduler;
    const Millis deadline = scheduler.monotonicNow() + limit;
    while (scheduler.monotonicNow() < deadline &&
           (m_parts->uploader->taskTracker().pendingCount() > 0 || m_parts->pipeline->state() != PipelineState::idle))
        co_await scheduler.sleep(Millis(50));
}

RecordingPipeline &HeadlessDictation::pipeline()
{
    return *m_parts->pipeline;
}

qint64 HeadlessDictation::inputDurationMs() const
{
    return m_parts->fileBackend ? m_parts->fileBackend->durationMs() : 0;
}

QString HeadlessDictation::lastIndicator() const
{
    return m_parts->indicator.last;
}

ClipboardHistory &HeadlessDictation::history()
{
    return *m_parts->history;
}

} // namespace dravelin
