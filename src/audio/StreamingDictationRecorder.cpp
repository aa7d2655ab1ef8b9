#include "audio/StreamingDictationRecorder.h"

#include "audio/AudioRecorder.h"
#include "audio/Levels.h"
#include "audio/MicCaptureSession.h"
#include "audio/Pcm.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "platform/SpeechRecognizer.h"

#include <QLocale>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::streamingRecorder(), message);
}

} // namespace

StreamingDictationRecorder::StreamingDictationRecorder(AudioCaptureBackend &backend, SpeechRecognizer *recognizer,
                                                       Scheduler &scheduler, UserDefaults &defaults,
                                                       QueueFactory queues, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_recognizer(recognizer)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_micSession(
          std::make_unique<MicCaptureSession>(QStringLiteral("dictation"), backend, scheduler, defaults, queues))
    , m_fallback(std::make_unique<AudioRecorder>(backend, scheduler, defaults, queues))
{
    m_defaults.registerDefaults(
        {{QString::fromLatin1(kLiveStreamingKey), true}, {QString::fromLatin1(kPreferCloudKey), true}});
    connect(m_fallback.get(), &AudioRecorder::levelChanged, this, &StreamingDictationRecorder::levelChanged);
}

StreamingDictationRecorder::~StreamingDictationRecorder()
{
    m_autoStopTask.cancel();
    tearDownOnDevice();
}

float StreamingDictationRecorder::currentLevel() const
{
    return m_usingOnDevice || m_live ? m_level : m_fallback->currentLevel();
}

void StreamingDictationRecorder::setOnAutoStop(std::function<void()> callback)
{
    m_fallback->onAutoStop = std::move(callback);
}

QCoro::Task<> StreamingDictationRecorder::prewarm()
{
    co_await m_micSession->prewarm();
}

bool StreamingDictationRecorder::onDeviceAllowed()
{
    if (m_defaults.boolValue(QString::fromLatin1(kPreferCloudKey), true))
        return false;
    return m_recognizer && m_recognizer->isAvailable();
}

bool StreamingDictationRecorder::liveAllowed() const
{
    return m_liveConfig && m_liveConfig->tokens && m_defaults.boolValue(QString::fromLatin1(kLiveStreamingKey), true) &&
           m_defaults.boolValue(QString::fromLatin1(kPreferCloudKey), true);
}

QCoro::Task<Expected<void, AudioRecorderError>> StreamingDictationRecorder::start(std::optional<QString> appBundleID,
                                                                                  QUuid clientRecordingId)
{
    using Result = Expected<void, AudioRecorderError>;
    if (m_recording || m_starting)
        co_return Result{};
    QPointer self(this);
    m_starting = true;
    m_heardSpeech = false;
    if (liveAllowed()) {
        const auto live = co_await startLive(std::move(appBundleID), clientRecordingId);
        if (!self)
            co_return Result{};
        if (live) {
            m_starting = false;
            co_return Result{};
        }
        info(QStringLiteral("Live streaming unavailable (%1); using batch path").arg(toString(live.error())));
        m_live.reset();
    }
    Result result;
    if (onDeviceAllowed()) {
        result = co_await startOnDevice();
    } else {
        m_usingOnDevice = false;
        info(QStringLiteral("Using cloud fallback recorder (Speech unavailable)"));
        result = co_await m_fallback->start();
        if (self && result)
            m_recording = true;
    }
    if (self)
        m_starting = false;
    co_return result;
}

QString StreamingDictationRecorder::spokenLanguage(const UserDefaults &defaults)
{
    const QString language = defaults.string(QString::fromLatin1(kLanguageKey)).value_or(QString()).trimmed().toLower();
    if (!language.isEmpty())
        return language;
    // Unset: the desktop's language. Detecting it per dictation is a choice
    // the user makes ("auto"): on short utterances the models guess wrong
    // often enough to hurt (docs/benchmarks.md).
    const QString desktop = QLocale::system().name().section(u'_', 0, 0).toLower();
    return desktop.size() == 2 || desktop.size() == 3 ? desktop : QStringLiteral("en");
}

QCoro::Task<Expected<void, AudioRecorderError>> StreamingDictationRecorder::startOnDevice()
{
    QPointer self(this);
    m_latestPartialText.clear();
    m_finalReceived = false;
    m_onDeviceRecording = std::make_shared<PCMSink>();
    m_speech = m_recognizer->startSession(
        [self, scheduler = &m_scheduler](SpeechResult result) {
            scheduler->postFromAnyThread([self, result = std::move(result)] {
                if (self)
                    self->onRecognition(result);
            });
        },
        RecognitionHints({}, spokenLanguage(m_defaults)));
    if (!m_speech)
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed,
                                                QStringLiteral("the speech recogniser is unavailable")}};
    m_usingOnDevice = true;
    std::shared_ptr<SpeechRecognitionSession> speech = m_speech;
    auto sink = m_onDeviceRecording;
    Scheduler *scheduler = &m_scheduler;
    // On the capture queue. A delivery already under way when the consumer is
    // detached still holds the session and sink, so both outlive it.
    MicBufferSink::Callback consume = [speech, sink, scheduler, self](PcmBuffer buffer) {
        speech->append(buffer.samples.data(), buffer.samples.size());
        sink->append(pcm16(buffer));
        const float level = MicLevelScale::linear(buffer);
        scheduler->postFromAnyThread([self, level] {
            if (self && self->m_usingOnDevice) {
                self->m_level = level;
                Q_EMIT self->levelChanged(level);
            }
        });
    };
    auto started = co_await m_micSession->start(consume);
    if (!self)
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed, {}}};
    if (!started) {
        tearDownOnDevice();
        co_return Unexpected{AudioRecorderError{AudioRecorderError::Kind::startFailed, toString(started.error())}};
    }
    m_recording = true;
    m_startedAt = m_scheduler.monotonicNow();
    m_tasks.track(autoStop(self, m_autoStopTask.renew(), m_scheduler));
    info(QStringLiteral("On-device streaming dictation started on '%1'").arg(started->name));
    co_return Expected<void, AudioRecorderError>{};
}

void StreamingDictationRecorder::onRecognition(const SpeechResult &result)
{
    if (!m_usingOnDevice)
        return;
    m_latestPartialText = result.text;
    if (!result.text.trimmed().isEmpty())
        m_heardSpeech = true;
    if (result.isFinal || !result.error.isEmpty()) {
        m_finalReceived = true;
        if (m_finalWait)
            m_finalWait->request_stop();
    }
}

QCoro::Task<> StreamingDictationRecorder::autoStop(QPointer<StreamingDictationRecorder> weak, std::stop_token token,
                                                   Scheduler &scheduler)
{
    const bool elapsed = co_await scheduler.sleep(AudioRecorder::maxDuration, token);
    if (!elapsed || !weak || !weak->m_recording)
        co_return;
    info(QStringLiteral("Auto-stop fired (%1s cap)")
             .arg(std::chrono::duration_cast<std::chrono::seconds>(AudioRecorder::maxDuration).count()));
    if (weak->m_fallback->onAutoStop)
        weak->m_fallback->onAutoStop();
}

QCoro::Task<Expected<void, LiveTranscriptionError>>
StreamingDictationRecorder::startLive(std::optional<QString> appBundleID, QUuid clientRecordingId)
{
    QPointer self(this);
    m_live = std::make_unique<LiveDictationCapture>(*m_liveConfig, m_scheduler, m_defaults);
    LiveDictationCapture::Callbacks callbacks;
    callbacks.onLevel = [self](float level) {
        if (self && self->m_live) {
            self->m_level = level;
            Q_EMIT self->levelChanged(level);
        }
    };
    callbacks.onRaw = [self](QString text) {
        if (self && self->m_onLiveRaw)
            self->m_onLiveRaw(std::move(text));
    };
    callbacks.onSpeech = [self] {
        if (self)
            self->m_heardSpeech = true;
    };
    LiveDictationCapture &live = *m_live;
    const auto started = co_await live.start(*m_micSession, std::move(appBundleID), clientRecordingId, callbacks);
    if (!self || !started)
        co_return started;
    m_liveStartedAt = m_scheduler.monotonicNow();
    m_recording = true;
    m_tasks.track(autoStop(self, m_autoStopTask.renew(), m_scheduler));
    info(QStringLiteral("Using LIVE cloud streaming dictation"));
    co_return started;
}

QCoro::Task<std::optional<DictationCapture>> StreamingDictationRecorder::stopLive()
{
    QPointer self(this);
    m_autoStopTask.cancel();
    LiveDictationCapture &live = *m_live;
    const LiveDictationCapture::Result result = co_await live.finish(liveFinishTimeout);
    if (!self)
        co_return std::nullopt;
    const qint64 durationMs = (m_scheduler.monotonicNow() - m_liveStartedAt).count();
    m_live.reset();
    m_level = 0;
    m_recording = false;
    DictationCapture capture;
    capture.durationMs = durationMs;
    const auto keepRecording = [&] {
        capture.recording = result.recording;
        capture.retainRecording = result.retainRecording;
        capture.recordingUploadUrl = result.recordingUploadUrl;
        capture.recordingObjectKey = result.recordingObjectKey;
    };
    if (result.text) {
        capture.liveText = *result.text;
        capture.engine = QStringLiteral("live");
        keepRecording();
    } else if (result.rawInHand) {
        info(QStringLiteral("Live final absent — pipeline holds raw, skipping batch retry"));
        capture.engine = QStringLiteral("live-raw");
        keepRecording();
    } else if (result.wavFallback && !result.wavFallback->isEmpty()) {
        info(QStringLiteral("Live degraded to batch STT (%1 WAV bytes)").arg(result.wavFallback->size()));
        capture.audio = result.wavFallback;
        capture.recording = result.wavFallback;
        capture.engine = QStringLiteral("cloud");
    } else {
        co_return std::nullopt;
    }
    co_return capture;
}

QCoro::Task<std::optional<DictationCapture>> StreamingDictationRecorder::stopCapture()
{
    QPointer self(this);
    if (m_live) {
        auto capture = co_await stopLive();
        co_return capture;
    }
    if (m_usingOnDevice) {
        auto capture = co_await stopOnDevice();
        co_return capture;
    }
    auto audio = co_await m_fallback->stop();
    if (!self)
        co_return std::nullopt;
    m_recording = false;
    if (!audio)
        co_return std::nullopt;
    DictationCapture capture;
    capture.audio = std::move(*audio);
    capture.recording = capture.audio; // the same file is kept with the history entry
    capture.durationMs = m_fallback->lastDurationMs();
    capture.engine = QStringLiteral("cloud");
    co_return capture;
}

QCoro::Task<std::optional<DictationCapture>> StreamingDictationRecorder::stopOnDevice()
{
    QPointer self(this);
    m_autoStopTask.cancel();
    const qint64 durationMs = m_startedAt ? (m_scheduler.monotonicNow() - *m_startedAt).count() : 0;
    co_await m_micSession->stopAfterTail(stopTail);
    if (!self)
        co_return std::nullopt;
    if (!m_usingOnDevice) {
        info(QStringLiteral("On-device capture cancelled during the stop tail"));
        co_return std::nullopt;
    }
    m_speech->endAudio();
    const QByteArray pcm = m_onDeviceRecording->data();
    if (!m_finalReceived) {
        // The final result or 800 ms, whichever comes first.
        m_finalWait.emplace();
        co_await m_scheduler.sleep(finalResultWait, m_finalWait->get_token());
        if (!self)
            co_return std::nullopt;
        // A recogniser decoding on this machine is slow under load, not lost:
        // its final text is worth waiting for (bounded), not the last partial.
        const Millis limit = std::chrono::duration_cast<Millis>(m_speech->finalResultLimit());
        if (!m_finalReceived && limit > finalResultWait) {
            info(
                QStringLiteral("On-device final not ready after %1 ms — recogniser still decoding, waiting up to %2 ms")
                    .arg(finalResultWait.count())
                    .arg(limit.count()));
            co_await m_scheduler.sleep(limit - finalResultWait, m_finalWait->get_token());
            if (!self)
                co_return std::nullopt;
            if (!m_finalReceived)
                logs::error(logs::streamingRecorder(),
                            QStringLiteral("On-device final never came — using the last partial text"));
        }
        m_finalWait.reset();
    }
    const QString text = m_latestPartialText;
    const QString engine = m_recognizer ? m_recognizer->engineName() : QString();
    tearDownOnDevice();
    info(QStringLiteral("On-device stop: %1 chars, %2 ms").arg(text.size()).arg(durationMs));
    DictationCapture capture;
    capture.onDeviceText = text;
    capture.audio = WAVWrapper::wrap(pcm, PcmBuffer::kSampleRate);
    capture.recording = capture.audio;
    capture.durationMs = durationMs;
    capture.engine = engine;
    co_return capture;
}

void StreamingDictationRecorder::tearDownOnDevice()
{
    if (m_micSession)
        m_micSession->stop();
    if (m_speech)
        m_speech->cancel();
    m_speech.reset();
    m_onDeviceRecording.reset();
    m_usingOnDevice = false;
    m_recording = false;
    m_startedAt.reset();
    m_level = 0;
}

QCoro::Task<> StreamingDictationRecorder::cancel()
{
    m_autoStopTask.cancel();
    if (m_live) {
        m_live->cancel();
        m_live.reset();
        m_level = 0;
    } else if (m_usingOnDevice) {
        tearDownOnDevice();
    } else {
        co_await m_fallback->cancel();
    }
    m_recording = false;
    m_heardSpeech = false;
}

} // namespace dravelin
