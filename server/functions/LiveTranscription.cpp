#include "functions/LiveTranscription.h"

#include "auth/AuthRoutes.h"
#include "core/Json.h"
#include "core/Log.h"
#include "engines/SpeechEngine.h"
#include "functions/CleanupEngine.h"
#include "functions/FunctionRoutes.h"
#include "functions/TranscriptCleaner.h"
#include "http/Router.h"
#include "http/WebSocket.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QtEndian>

namespace dravelin::server {

namespace {

// Ten minutes of audio; longer streams are refused.
constexpr qint64 kMaxSamples = FunctionRoutes::kMaxAudioSamples;

// One socket's dictation. Lives on the main thread as a child of its
// connection, so it goes when the connection goes.
class LiveSession final : public QObject
{
public:
    LiveSession(FunctionRoutes &functions, WebSocketConnection *ws, QString userId, QStringList vocabulary)
        : QObject(ws)
        , m_functions(functions)
        , m_ws(ws)
        , m_userId(std::move(userId))
        , m_vocabulary(std::move(vocabulary))
    {
        connect(ws, &WebSocketConnection::textMessage, this, &LiveSession::onText);
        connect(ws, &WebSocketConnection::binaryMessage, this, &LiveSession::onAudio);
        armIdleTimer();
        // The audio limit counts samples; this one counts the clock, so a
        // client trickling audio (or waiting on a slow final) cannot hold
        // the session open for ever.
        QPointer<LiveSession> self(this);
        const qint64 limit = m_functions.config().liveMaxMs;
        m_endWake = m_functions.scheduler().scheduleWake(Millis(limit), [self, limit] {
            if (self && self->m_phase != Phase::done)
                self->fail(QStringLiteral("the session lasted longer than %1 s").arg(limit / 1000));
        });
    }
    ~LiveSession() override
    {
        m_functions.scheduler().cancelWake(m_idleWake);
        m_functions.scheduler().cancelWake(m_endWake);
    }

private:
    enum class Phase {
        awaitingStart,
        streaming,
        finalizing,
        done
    };

    // A client that goes quiet before finalizing (crashed, or forgot) does
    // not hold its session open: after liveIdleMs without a message the
    // socket is closed with an error.
    void armIdleTimer()
    {
        Scheduler &scheduler = m_functions.scheduler();
        scheduler.cancelWake(m_idleWake);
        QPointer<LiveSession> self(this);
        const qint64 limit = m_functions.config().liveIdleMs;
        m_idleWake = scheduler.scheduleWake(Millis(limit), [self, limit] {
            if (self && (self->m_phase == Phase::awaitingStart || self->m_phase == Phase::streaming))
                self->fail(QStringLiteral("nothing received for %1 s").arg(static_cast<double>(limit) / 1000));
        });
    }

    void fail(const QString &message)
    {
        logs::info(logs::transcribe(), QStringLiteral("Live transcription ended with an error: %1").arg(message));
        m_phase = Phase::done;
        m_stream.reset();
        json::Json error{{"type", "error"}};
        error["message"] = message;
        m_ws->sendText(QString::fromUtf8(json::encode(error)));
        m_ws->close(1000);
    }

    void onText(const QString &text)
    {
        if (m_phase == Phase::done)
            return;
        armIdleTimer();
        const auto message = json::parse(text.toUtf8());
        if (!message || !message->is_object())
            return fail(QStringLiteral("malformed message: %1")
                            .arg(message ? QStringLiteral("expected a JSON object") : message.error().message));
        const QString type = json::optionalField<QString>(*message, "type").value_or(QString());
        if (type == u"start")
            return start(*message);
        if (type == u"finalize")
            return finalize();
        fail(QStringLiteral("unknown message type \"%1\"").arg(type));
    }

    void start(const json::Json &message)
    {
        if (m_phase != Phase::awaitingStart)
            return fail(QStringLiteral("start sent twice"));
        const auto encoding = json::optionalField<QString>(message, "encoding").value_or(QStringLiteral("linear16"));
        const auto rate = json::optionalField<qint64>(message, "sample_rate").value_or(16000);
        const auto channels = json::optionalField<qint64>(message, "channels").value_or(1);
        if (encoding != u"linear16" || rate != 16000 || channels != 1)
            return fail(
                QStringLiteral("unsupported audio: %1 at %2 Hz, %3 channel(s); expected linear16 at 16000 Hz, mono")
                    .arg(encoding)
                    .arg(rate)
                    .arg(channels));
        m_cleanup = json::optionalField<bool>(message, "cleanup").value_or(false);
        m_options.fillerWords = json::optionalField<QStringList>(message, "fillerWords").value_or(QStringList{});
        m_options.removeFillerWords = !m_options.fillerWords.isEmpty();
        m_options.vocabulary = m_vocabulary;
        const auto language = json::optionalField<QString>(message, "language");
        const auto spoken = language ? spokenLanguage(*language) : m_functions.config().language;
        if (!spoken)
            return fail(QStringLiteral("language %1").arg(spoken.error()));
        m_app = json::optionalField<QString>(message, "app_bundle_id").value_or(QString());
        m_recordingId = json::optionalField<QString>(message, "clientRecordingId").value_or(QString());
        QPointer<LiveSession> self(this);
        m_stream =
            m_functions.engine().openStream(RecognitionHints(m_vocabulary, *spoken), [self](const QString &partial) {
                if (self)
                    self->sendPartial(partial);
            });
        m_phase = Phase::streaming;
    }

    void onAudio(const QByteArray &bytes)
    {
        if (m_phase == Phase::awaitingStart)
            return fail(QStringLiteral("audio sent before the start message"));
        if (m_phase != Phase::streaming)
            return; // audio after finalize is dropped
        armIdleTimer();
        // Frames need not end on a sample boundary: a split sample waits for
        // its second byte.
        QByteArray pcm = m_oddByte + bytes;
        m_oddByte = pcm.size() % 2 ? pcm.right(1) : QByteArray();
        const qsizetype count = pcm.size() / 2;
        if (m_samples + count > kMaxSamples)
            return fail(QStringLiteral("the stream is longer than %1 s").arg(kMaxSamples / 16000));
        std::vector<float> samples(static_cast<size_t>(count));
        const auto *data = reinterpret_cast<const uchar *>(pcm.constData());
        for (qsizetype i = 0; i < count; ++i)
            samples[static_cast<size_t>(i)] = qFromLittleEndian<qint16>(data + 2 * i) / 32768.0f;
        m_samples += count;
        m_stream->append(samples);
    }

    void sendPartial(const QString &text)
    {
        const QString trimmed = text.trimmed();
        if (m_phase != Phase::streaming || trimmed.isEmpty() || trimmed == m_lastPartial)
            return;
        m_lastPartial = trimmed;
        json::Json partial{{"type", "partial"}};
        partial["text"] = trimmed;
        m_ws->sendText(QString::fromUtf8(json::encode(partial)));
    }

    void finalize()
    {
        if (m_phase == Phase::awaitingStart)
            return fail(QStringLiteral("finalize sent before the start message"));
        if (m_phase != Phase::streaming)
            return;
        m_phase = Phase::finalizing;
        finish(QPointer<LiveSession>(this), m_stream);
    }

    // Runs detached; `stream` stays alive here even if the socket goes, and
    // the cleaner lives as long as the server.
    static QCoro::Task<> finish(QPointer<LiveSession> self, std::shared_ptr<SpeechStream> stream)
    {
        QElapsedTimer timer;
        timer.start();
        auto raw = co_await stream->finish();
        if (!self || !self->deliverRaw(raw))
            co_return;
        const qint64 finalMs = timer.elapsed();
        const QString rawText = raw->text.trimmed();
        self->m_language = raw->language;
        self->m_options.language = raw->language;
        CleanupResult cleaned{rawText, false};
        if (self->m_cleanup) {
            TranscriptCleaner &cleaner = self->m_functions.cleaner();
            auto stillWanted = [self] { return !self.isNull(); };
            cleaned = co_await cleaner.clean(rawText, self->m_options, std::move(stillWanted));
        }
        if (self)
            self->deliverFinal(rawText, cleaned, finalMs, timer.elapsed() - finalMs);
    }

    // Sends the recogniser's text; false when the session is over.
    bool deliverRaw(const Expected<Recognized, QString> &raw)
    {
        if (m_phase != Phase::finalizing)
            return false;
        if (!raw) {
            fail(QStringLiteral("speech recognition failed: %1").arg(raw.error()));
            return false;
        }
        json::Json rawMessage{{"type", "raw"}};
        rawMessage["text"] = raw->text.trimmed();
        m_ws->sendText(QString::fromUtf8(json::encode(rawMessage)));
        return true;
    }

    void deliverFinal(const QString &rawText, const CleanupResult &cleaned, qint64 finalMs, qint64 cleanupMs)
    {
        if (m_phase != Phase::finalizing)
            return;
        const qint64 durationMs = m_samples * 1000 / 16000;
        m_functions.recordTranscript(
            {m_userId, durationMs, finalMs + cleanupMs, rawText, cleaned.text, m_app, m_recordingId, m_language});
        json::Json final{{"type", "final"}};
        final["text"] = cleaned.text;
        if (!m_language.isEmpty())
            final["language"] = m_language;
        m_functions.putRecordingGrant(final, m_userId, m_recordingId);
        json::Json debug{{"speculative", "none"}};
        debug["dg_final_ms"] = finalMs;
        debug["cleanup_ms"] = cleanupMs;
        debug["finals"] = 1;
        debug["recovered_finals"] = 0;
        final["debug"] = debug;
        m_ws->sendText(QString::fromUtf8(json::encode(final)));
        logs::info(logs::transcribe(), QStringLiteral("Live transcription: %1 ms of audio, final text %2 ms after "
                                                      "finalize via %3")
                                           .arg(durationMs)
                                           .arg(finalMs)
                                           .arg(m_functions.engine().name()));
        m_phase = Phase::done;
        m_stream.reset();
        m_ws->close(1000);
    }

    FunctionRoutes &m_functions;
    WebSocketConnection *m_ws;
    const QString m_userId;
    const QStringList m_vocabulary;
    Phase m_phase = Phase::awaitingStart;
    std::shared_ptr<SpeechStream> m_stream;
    bool m_cleanup = false;
    CleanupOptions m_options;
    QString m_app;
    QString m_recordingId;
    QString m_language; // as the engine heard it
    QByteArray m_oddByte;
    qint64 m_samples = 0;
    QString m_lastPartial;
    Scheduler::WakeId m_idleWake = 0;
    Scheduler::WakeId m_endWake = 0;
};

} // namespace

void installLiveTranscription(Router &router, FunctionRoutes &functions)
{
    WebSocketRoute route;
    route.check = [&functions](const HttpRequest &request) -> std::optional<HttpResponse> {
        const auto user = functions.auth().requireUser(request);
        if (!user)
            return user.error();
        return std::nullopt;
    };
    route.open = [&functions](const HttpRequest &request, WebSocketConnection *ws) {
        const auto user = functions.auth().authenticate(request);
        if (!user) {
            ws->close(1008, QStringLiteral("Unauthorized"));
            return;
        }
        QStringList vocabulary;
        for (const QString &term : request.query.allQueryItemValues(QStringLiteral("vocab"), QUrl::FullyDecoded)) {
            if (!term.trimmed().isEmpty())
                vocabulary << term.trimmed();
        }
        // No terms from the app (another client, or none cached yet): the
        // user's own from the server.
        if (vocabulary.isEmpty())
            vocabulary = functions.userVocabulary(user->id);
        new LiveSession(functions, ws, user->id, vocabulary);
    };
    router.addWebSocket(QStringLiteral("/transcribe-stream"), std::move(route));
}

} // namespace dravelin::server
