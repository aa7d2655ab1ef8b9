#include "audio/LiveDictationCapture.h"

#include "account/TokenSource.h"
#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/Log.h"
#include "core/UserDefaults.h"

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::liveCapture(), message);
}

void error(const QString &message)
{
    logs::error(logs::liveCapture(), message);
}

bool hasWords(const std::optional<QString> &text)
{
    return text && !text->trimmed().isEmpty();
}

} // namespace

QString toString(const LiveTranscriptionError &failure)
{
    switch (failure.kind) {
    case LiveTranscriptionError::Kind::notAuthenticated:
        return QStringLiteral("not signed in");
    case LiveTranscriptionError::Kind::connectFailed:
        return failure.message.isEmpty() ? QStringLiteral("connect failed")
                                         : QStringLiteral("connect failed: ") + failure.message;
    case LiveTranscriptionError::Kind::startFailed:
        return failure.message.isEmpty() ? QStringLiteral("start failed")
                                         : QStringLiteral("start failed: ") + failure.message;
    }
    return {};
}

// ---- LiveFrameQueue ---------------------------------------------------------

void LiveFrameQueue::push(QByteArray frame)
{
    bool firstDrop = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_finished)
            return;
        if (m_frames.size() >= m_capacity) {
            m_frames.pop_front();
            firstDrop = ++m_dropped == 1;
        }
        m_frames.push_back(std::move(frame));
    }
    if (firstDrop)
        error(QStringLiteral("Live frame queue full at %1 frames — dropping oldest; the socket is not draining")
                  .arg(m_capacity));
}

std::deque<QByteArray> LiveFrameQueue::takeAll()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_frames, {});
}

void LiveFrameQueue::finish()
{
    std::lock_guard lock(m_mutex);
    m_finished = true;
}

quint64 LiveFrameQueue::dropped() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

// ---- LiveDictationCapture ---------------------------------------------------

LiveDictationCapture::LiveDictationCapture(Config config, Scheduler &scheduler, UserDefaults &defaults, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_scheduler(scheduler)
    , m_defaults(defaults)
{}

LiveDictationCapture::~LiveDictationCapture()
{
    if (m_running && m_capture)
        m_capture->stop();
    cancelConnect();
    if (m_client)
        m_client->close();
}

QCoro::Task<Expected<void, LiveTranscriptionError>> LiveDictationCapture::start(MicCaptureSession &session,
                                                                                std::optional<QString> appBundleID,
                                                                                std::optional<QUuid> clientRecordingId,
                                                                                Callbacks callbacks)
{
    using Failure = Unexpected<LiveTranscriptionError>;
    if (m_running)
        co_return Failure{{LiveTranscriptionError::Kind::startFailed, QStringLiteral("already recording")}};
    QPointer self(this);
    const quint64 generation = ++m_generation;
    m_sink = std::make_shared<PCMSink>();
    m_frames = std::make_shared<LiveFrameQueue>();
    m_callbacks = std::move(callbacks);
    m_running = true;
    m_capture = &session;
    m_startedAt = m_scheduler.monotonicNow();

    // On the capture queue: only the PCM copy and the frame queue are
    // touched there; the level and the pump hop to the main thread.
    MicBufferSink::Callback consume = [sink = m_sink, frames = m_frames, scheduler = &m_scheduler, self,
                                       generation](PcmBuffer buffer) {
        const float level = MicLevelScale::linear(buffer);
        QByteArray frame = pcm16(buffer);
        if (!frame.isEmpty()) {
            sink->append(frame);
            frames->push(std::move(frame));
        }
        scheduler->postFromAnyThread([self, generation, level] {
            if (!self || self->m_generation != generation)
                return;
            if (self->m_callbacks.onLevel)
                self->m_callbacks.onLevel(level);
            self->pumpFrames();
        });
    };
    const auto started = co_await session.start(std::move(consume));
    if (!self)
        co_return Failure{{LiveTranscriptionError::Kind::startFailed, QStringLiteral("capture gone")}};
    if (!started) {
        if (m_generation == generation)
            endCapture();
        co_return Failure{{LiveTranscriptionError::Kind::startFailed, toString(started.error())}};
    }
    if (m_generation != generation) // cancelled while the microphone started
        co_return Failure{{LiveTranscriptionError::Kind::startFailed, QStringLiteral("cancelled")}};
    info(QStringLiteral("Live capture started on '%1' (16 kHz mono linear16) — socket connecting in background")
             .arg(started->name));

    LiveSessionOptions options;
    options.cleanup = m_defaults.boolValue(QString::fromLatin1(kCleanupKey), true);
    options.fillerWords = m_config.fillerWords ? m_config.fillerWords() : QStringList();
    options.language = StreamingDictationRecorder::spokenLanguage(m_defaults);
    options.appBundleID = std::move(appBundleID);
    options.clientRecordingId = clientRecordingId;
    options.onRaw = [self](QString text) {
        if (self && self->m_callbacks.onRaw)
            self->m_callbacks.onRaw(std::move(text));
    };
    options.onSpeech = [self] {
        if (self && self->m_callbacks.onSpeech)
            self->m_callbacks.onSpeech();
    };
    m_tasks.track(connectSession(std::move(options)));
    co_return Expected<void, LiveTranscriptionError>{};
}

QCoro::Task<> LiveDictationCapture::connectSession(LiveSessionOptions options)
{
    QPointer self(this);
    const quint64 epoch = ++m_connectEpoch;
    auto stale = [&] { return !self || self->m_connectEpoch != epoch; };
    std::optional<QString> token;
    if (m_config.tokens)
        token = co_await m_config.tokens->currentAccessToken();
    if (stale())
        co_return;
    if (!token || token->isEmpty()) {
        info(QStringLiteral("No access token for live streaming — this capture will use batch STT"));
        co_return;
    }
    options.token = *token;
    const QStringList vocabulary = m_defaults.stringArray(QString::fromLatin1(kVocabularyKey)).value_or(QStringList());
    std::unique_ptr<LiveTranscribing> client = m_config.makeClient(m_config.endpoint, vocabulary);
    m_connecting = client.get();
    const auto started = co_await client->start(std::move(options));
    if (stale()) {
        client->close();
        co_return;
    }
    m_connecting = nullptr;
    if (!started) {
        info(QStringLiteral("Live socket failed to connect (%1) — this capture will use batch STT")
                 .arg(toString(started.error())));
        client->close();
        co_return;
    }
    info(QStringLiteral("⏱ live socket ready %1 ms after record start — flushing buffered frames")
             .arg((m_scheduler.monotonicNow() - m_startedAt).count()));
    m_client = std::move(client);
    pumpFrames();
}

void LiveDictationCapture::cancelConnect()
{
    ++m_connectEpoch;
    if (auto *connecting = std::exchange(m_connecting, nullptr))
        connecting->close(); // its start resolves, and connectSession drops it
}

void LiveDictationCapture::pumpFrames()
{
    if (!m_client || !m_frames)
        return;
    for (const QByteArray &frame : m_frames->takeAll())
        m_client->send(frame);
}

std::optional<QByteArray> LiveDictationCapture::wav() const
{
    const QByteArray pcm = m_sink ? m_sink->data() : QByteArray();
    if (pcm.isEmpty())
        return std::nullopt;
    return WAVWrapper::wrap(pcm, PcmBuffer::kSampleRate);
}

void LiveDictationCapture::endCapture()
{
    ++m_generation;
    cancelConnect();
    if (m_frames)
        m_frames->finish();
    if (m_client)
        m_client->close();
    m_client.reset();
    m_running = false;
    m_sink.reset();
    m_frames.reset();
    m_capture = nullptr;
}

QCoro::Task<LiveDictationCapture::Result> LiveDictationCapture::finish(Millis timeout)
{
    if (!m_running || !m_capture)
        co_return Result{};
    QPointer self(this);
    const quint64 generation = m_generation;
    co_await m_capture->stopAfterTail(stopTail);
    if (!self)
        co_return Result{};
    if (!m_running || m_generation != generation) {
        info(QStringLiteral("Live capture cancelled during the stop tail — nothing to finalize"));
        co_return Result{};
    }

    Result result;
    if (!m_client) {
        cancelConnect();
        info(QStringLiteral("Stopped before the live socket was ready — using batch STT for this capture"));
        result.wavFallback = wav();
        endCapture();
        co_return result;
    }

    // Every frame captured so far goes out before the finalize message.
    pumpFrames();
    m_frames->finish();
    const quint64 dropped = m_frames->dropped();
    if (dropped > 0)
        info(QStringLiteral("Live capture dropped %1 PCM frame(s) to a full queue — the socket was not draining")
                 .arg(dropped));

    const std::optional<QString> finalText = co_await m_client->finalize(timeout);
    if (!self)
        co_return Result{};
    if (!m_running || m_generation != generation || !m_client)
        co_return Result{}; // cancelled while finalizing
    // A stream is clean when the server ended it with its final message;
    // a timeout or an error leaves it unfinished.
    const bool clean = m_client->receivedFinal() && !m_client->hasFailed();
    const std::optional<QString> raw = m_client->rawText();
    const bool retain = m_client->retainRecording();
    result.recordingUploadUrl = m_client->recordingUploadUrl();
    result.recordingObjectKey = m_client->recordingObjectKey();
    const std::optional<QByteArray> recording = wav();
    const qsizetype pcmBytes = m_sink->data().size();

    if (dropped > 0 && recording) {
        error(QStringLiteral("%1 frame(s) never reached the socket — discarding the partial live transcript and using "
                             "batch STT instead")
                  .arg(dropped));
        result.wavFallback = recording;
        result.recording = recording;
    } else if (hasWords(finalText)) {
        info(QStringLiteral("Live final delivered (%1 chars)").arg(finalText->size()));
        result.text = finalText;
        result.recording = recording;
        result.retainRecording = retain;
    } else if (!clean && hasWords(raw)) {
        info(QStringLiteral("Live final absent but raw already delivered → pipeline will paste raw, no batch"));
        result.rawInHand = true;
        result.recording = recording;
        result.retainRecording = retain;
    } else if (!clean) {
        error(QStringLiteral("Live produced no raw and no final — batch fallback (%1 PCM bytes)").arg(pcmBytes));
        result.wavFallback = recording;
        result.recording = recording;
    } else {
        info(QStringLiteral("Live stream clean but empty — no speech"));
        result.text = QString();
        if (hasWords(raw))
            result.recording = recording;
        result.retainRecording = retain;
    }
    endCapture();
    co_return result;
}

void LiveDictationCapture::cancel()
{
    if (m_capture)
        m_capture->stop();
    endCapture();
}

} // namespace dravelin
