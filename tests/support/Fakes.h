#pragma once

#include <deque>

// Recording fakes of the pipeline's collaborators and of the platform
// interfaces. They do what they are told and remember what they were asked.

#include "account/Authenticating.h"
#include "audio/DictationCapturing.h"
#include "core/Scheduler.h"
#include "hotkeys/HotkeyHandling.h"
#include "indicator/IndicatorPresenting.h"
#include "output/ClipboardHistoring.h"
#include "output/Pasting.h"
#include "output/RecordingUploader.h"
#include "pipeline/PipelineServices.h"
#include "platform/Appearance.h"
#include "platform/KeySynthesizer.h"
#include "platform/KeyboardLayout.h"
#include "platform/Pasteboard.h"
#include "platform/SoundPlayer.h"
#include "platform/Workspace.h"
#include "stt/Transcribing.h"
#include "stt/TranscriptionService.h"
#include "text/CleanupFormatting.h"

#include <QStringList>
#include <QTextBoundaryFinder>

#include <map>
#include <set>
#include <vector>

namespace dravelin::test {

// A recorder whose start takes `startLatency` on the scheduler's clock.
class FakeRecorder final : public DictationCapturing
{
public:
    explicit FakeRecorder(Scheduler &scheduler) : m_scheduler(scheduler) {}

    QCoro::Task<Expected<void, AudioRecorderError>> start(std::optional<QString> appBundleID,
                                                          QUuid clientRecordingId) override;
    QCoro::Task<std::optional<DictationCapture>> stopCapture() override;
    QCoro::Task<> cancel() override;
    bool heardSpeech() const override { return heard; }
    float currentLevel() const override { return level; }
    bool isStreamingRecorder() const override { return streaming; }
    void setOnAutoStop(std::function<void()> callback) override { onAutoStop = std::move(callback); }
    void setOnLiveRaw(std::function<void(QString)> callback) override { onLiveRaw = std::move(callback); }
    QCoro::Task<> prewarm() override;

    // Behaviour.
    Millis startLatency{0};
    Millis stopLatency{0};
    std::optional<AudioRecorderError> startError;
    std::optional<DictationCapture> captureToReturn = DictationCapture{};
    bool heard = false;
    float level = 0;
    bool streaming = false;

    // What happened.
    int startCalls = 0;
    int stopCalls = 0;
    int cancelCalls = 0;
    int prewarmCalls = 0;
    bool running = false;
    std::optional<QString> lastAppBundleID;
    std::optional<QUuid> lastRecordingID;
    std::function<void()> onAutoStop;
    std::function<void(QString)> onLiveRaw;

private:
    Scheduler &m_scheduler;
};

class FakeHotkeys final : public HotkeyHandling
{
public:
    HotkeyCallbacks &callbacks() override { return m_callbacks; }
    void registerHotkeys() override { events << QStringLiteral("register"); }
    void registerCancelHotkey() override
    {
        cancelRegistered = true;
        events << QStringLiteral("registerCancel");
    }
    void unregisterCancelHotkey() override
    {
        cancelRegistered = false;
        events << QStringLiteral("unregisterCancel");
    }
    void resetAskGesture() override { ++askResets; }

    QStringList events;
    bool cancelRegistered = false;
    int askResets = 0;

private:
    HotkeyCallbacks m_callbacks;
};

class FakeIndicator final : public IndicatorPresenting
{
public:
    void present(const IndicatorState &state, std::optional<Millis> fadeAfter) override
    {
        shown.push_back({state, fadeAfter});
        hidden = false;
    }
    void hide() override
    {
        ++hideCalls;
        hidden = true;
    }

    struct Presentation
    {
        IndicatorState state;
        std::optional<Millis> fadeAfter;
    };
    std::vector<Presentation> shown;
    int hideCalls = 0;
    bool hidden = false;

    // The last state shown; "hidden" when the indicator was hidden after it.
    QString current() const
    {
        return hidden || shown.empty() ? QStringLiteral("hidden") : shown.back().state.describe();
    }
};

class FakePaste final : public Pasting
{
public:
    QCoro::Task<> paste(QString text, std::optional<QString> targetBundleID, bool keepOnClipboard) override;
    QCoro::Task<bool> replacePastedText(QString raw, QString cleaned, std::optional<QString> targetBundleID,
                                        bool keepOnClipboard) override;
    QCoro::Task<EditableFocus> focusedEditableTarget(std::optional<QString> expectedBundleID) override;
    QCoro::Task<> waitForModifiersToClear() override;
    QStringList pasted;
    QList<QPair<QString, QString>> swaps;
    bool swapSucceeds = true;
    EditableFocus focus = EditableFocus::editable;
};

class FakeHistory final : public ClipboardHistoring
{
public:
    int entryCount() const override { return static_cast<int>(entries.size()); }
    std::optional<ClipboardEntry> latest() const override
    {
        if (entries.empty())
            return std::nullopt;
        return entries.front();
    }
    QCoro::Task<> add(QString text, std::optional<QString> source, std::optional<QString> windowName, bool aiProcessed,
                      std::optional<QByteArray> audio) override
    {
        recordings.push_back(std::move(audio));
        entries.insert(entries.begin(),
                       ClipboardEntry{QUuid::createUuid(), std::move(text), QDateTime::currentDateTimeUtc(),
                                      std::move(source), std::move(windowName), aiProcessed});
        co_return;
    }
    std::vector<ClipboardEntry> entries;               // newest first
    std::vector<std::optional<QByteArray>> recordings; // in the order added
};

class FakeAuth final : public Authenticating
{
public:
    bool isSignedIn() const override { return signedIn; }
    bool signedIn = true;
};

// The transcription client and the cleaner, answering from a script.
class FakeWarmUps final : public Transcribing, public CleanupFormatting
{
public:
    // Both interfaces have warmUp(); count them together.
    void warmUp() override { ++count; }
    QCoro::Task<Expected<TranscriptionResponse, TranscriptionError>> transcribe(TranscriptionRequest request) override
    {
        requests.push_back(request);
        if (!nextTranscriptions.empty()) {
            auto next = nextTranscriptions.front();
            nextTranscriptions.pop_front();
            co_return next;
        }
        co_return Expected<TranscriptionResponse, TranscriptionError>(transcription);
    }
    // Answers with `streamed`, then ends (or fails with `streamError`).
    std::unique_ptr<TranscriptionStream> transcribeStreaming(TranscriptionRequest request) override
    {
        requests.push_back(request);
        auto stream = std::make_unique<TranscriptionStream>();
        for (const auto &event : streamed)
            stream->push(event);
        if (streamError)
            stream->push(Unexpected(*streamError));
        else
            stream->end();
        return stream;
    }
    QCoro::Task<Expected<CleanupResponse, CleanupError>> cleanup(CleanupRequest request) override
    {
        cleanupRequests.push_back(request);
        co_return Expected<CleanupResponse, CleanupError>(cleaned);
    }

    int count = 0;
    Expected<TranscriptionResponse, TranscriptionError> transcription =
        TranscriptionResponse{QStringLiteral("Hello there."),
                              QStringLiteral("hello there"),
                              QStringLiteral("test"),
                              true,
                              false,
                              std::nullopt,
                              std::nullopt};
    Expected<CleanupResponse, CleanupError> cleaned = CleanupResponse{
        QStringLiteral("Cleaned text."), QStringLiteral("cleaned text"), true, false, std::nullopt, std::nullopt};
    // Answered first, one per request, before `transcription`.
    std::deque<Expected<TranscriptionResponse, TranscriptionError>> nextTranscriptions;
    std::vector<TranscriptionRequest> requests;
    std::vector<CleanupRequest> cleanupRequests;
    std::vector<TranscriptionStreamEvent> streamed;
    std::optional<TranscriptionError> streamError;
};

class FakePending final : public PendingTranscribing
{
public:
    const QList<PendingItem> &items() const override { return m_items; }
    QCoro::Task<std::optional<QByteArray>> audio(PendingItem) override { co_return std::nullopt; }
    QCoro::Task<Expected<PendingItem, QString>> save(QByteArray audio, std::optional<qint64>, std::optional<QString>,
                                                     std::optional<QUuid>) override
    {
        saved << audio;
        if (failSave)
            co_return Unexpected(QStringLiteral("disk full"));
        PendingItem item;
        item.id = id;
        co_return item;
    }
    QCoro::Task<> remove(QUuid item) override
    {
        removed << item;
        co_return;
    }
    QCoro::Task<> recordFailure(QUuid item, QString error) override
    {
        failures << qMakePair(item, error);
        co_return;
    }
    QUuid id = QUuid::createUuid();
    bool failSave = false;
    QList<QByteArray> saved;
    QList<QUuid> removed;
    QList<QPair<QUuid, QString>> failures;

private:
    QList<PendingItem> m_items;
};

class FakeQuality final : public QualityReporting
{
public:
    void report(QUuid, QualityCategory category, QString reason, std::optional<qint64>, std::optional<QString>) override
    {
        reports.append(qMakePair(category, reason));
    }
    QList<QPair<QualityCategory, QString>> reports;
};

class FakeUploader final : public RecordingUploading
{
public:
    void upload(QByteArray data, QUuid, QUrl url, QString key) override { uploads.append({data, url, key}); }
    struct Upload
    {
        QByteArray data;
        QUrl url;
        QString key;
    };
    QList<Upload> uploads;
};

class FakeWorkspace final : public Workspace
{
public:
    std::optional<FrontmostApplication> frontmostApplication() const override
    {
        if (!frontmost)
            return std::nullopt;
        return FrontmostApplication{*frontmost, pid, windowTitle};
    }
    bool activate(const QString &applicationID) override
    {
        activated << applicationID;
        if (!running.contains(applicationID))
            return false;
        frontmost = applicationID;
        return true;
    }
    bool openURL(const QUrl &url) override
    {
        opened << url;
        if (onOpen)
            onOpen(url);
        return canOpen;
    }
    std::optional<QString> frontmost = QStringLiteral("org.example.Editor");
    qint64 pid = 4242;
    QString windowTitle = QStringLiteral("Notes — Editor");
    QStringList running{QStringLiteral("org.example.Editor")};
    QStringList activated;
    QList<QUrl> opened;
    bool canOpen = true;
    std::function<void(const QUrl &)> onOpen;
};

class RecordingSoundPlayer final : public SoundPlayer
{
public:
    QString soundLocation() const override { return QStringLiteral("/usr/share/sounds"); }
    void play(const QString &name, Completion done) override
    {
        played << name;
        if (done)
            done(missing.count(name) ? Outcome::notFound : Outcome::played, {});
    }
    QStringList played;
    std::set<QString> missing;
};

class FakeAppearance final : public Appearance
{
public:
    void apply(bool dark) override { applied.push_back(dark); }
    std::vector<bool> applied;
};

class FakeKeyboardLayout final : public KeyboardLayout
{
public:
    std::optional<QString> characters(quint16 keyCode) const override
    {
        if (!available)
            return std::nullopt;
        auto it = keys.find(keyCode);
        return it == keys.end() ? QString() : it->second;
    }
    bool available = true;
    std::map<quint16, QString> keys;
};

// The clipboard, with a change counter like the real one.
class FakePasteboard final : public Pasteboard
{
public:
    std::optional<QString> string() const override
    {
        if (items.isEmpty() || !items.front().contains(QStringLiteral("text/plain")))
            return std::nullopt;
        return QString::fromUtf8(items.front().value(QStringLiteral("text/plain")));
    }
    void clearContents() override
    {
        items.clear();
        ++changes;
    }
    void setString(const QString &text) override
    {
        items = {PasteboardItem{{QStringLiteral("text/plain"), text.toUtf8()}}};
        ++changes;
    }
    qint64 changeCount() const override { return changes; }
    PasteboardSnapshot snapshot() const override { return items; }
    void restore(const PasteboardSnapshot &snapshot) override
    {
        items = snapshot;
        ++changes;
        ++restores;
    }

    std::optional<QString> selectionString() const override { return selection; }
    std::optional<int> fetchCount() const override { return fetches; }
    void setSelectionString(const QString &text) override { selection = text; }

    PasteboardSnapshot items;
    std::optional<QString> selection;
    std::optional<int> fetches; // none: reads cannot be seen
    qint64 changes = 0;
    int restores = 0;
};

// A text field behind the keyboard: Ctrl+V inserts the clipboard, Shift+Left
// selects, Ctrl+C copies the selection. Records every keystroke with its time.
class FakeKeys final : public KeySynthesizer
{
public:
    FakeKeys(FakePasteboard &board, const Scheduler &clock) : m_board(board), m_clock(clock) {}

    bool canPost() const override { return available; }
    void postPaste(PasteKeys keys) override
    {
        log(keys == PasteKeys::ctrlV        ? QStringLiteral("ctrl+v")
            : keys == PasteKeys::ctrlShiftV ? QStringLiteral("ctrl+shift+v")
                                            : QStringLiteral("shift+insert"));
        const QString text =
            (keys == PasteKeys::shiftInsert ? m_board.selection : m_board.string()).value_or(QString());
        field.replace(field.size() - selected, selected, text);
        selected = 0;
    }
    void postCopy(bool terminal) override
    {
        log(terminal ? QStringLiteral("ctrl+shift+c") : QStringLiteral("ctrl+c"));
        if (selected > 0 && copyWorks)
            m_board.setString(field.right(selected));
    }
    // Like a text field: each step goes back over one grapheme.
    void postSelectBackward(int count) override
    {
        log(QStringLiteral("shift+left×%1").arg(count));
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, field);
        finder.toEnd();
        for (int i = 0; i < count && finder.toPreviousBoundary() >= 0;)
            ++i;
        selected = static_cast<int>(field.size() - std::max<qsizetype>(finder.position(), 0));
    }
    void postCollapseSelection() override
    {
        log(QStringLiteral("right"));
        selected = 0;
    }
    bool modifiersHeld() const override { return m_clock.monotonicNow() < modifiersHeldUntil; }

    void log(const QString &event)
    {
        events << event;
        times.push_back(m_clock.monotonicNow());
    }

    QString field;
    int selected = 0;
    bool available = true;
    bool copyWorks = true;
    Millis modifiersHeldUntil{0};
    QStringList events;
    std::vector<Millis> times;

private:
    FakePasteboard &m_board;
    const Scheduler &m_clock;
};

} // namespace dravelin::test
