#pragma once

#include "audio/LiveDictationCapture.h"
#include "audio/LiveTranscribing.h"
#include "core/Expected.h"
#include "core/Scheduler.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <stop_token>

class QWebSocket;

namespace dravelin {

// Timing diagnostics a live final may carry; only logged.
struct LiveServerDebug
{
    std::optional<QString> speculative;
    std::optional<qint64> dgFinalMs;
    std::optional<qint64> cleanupMs;
    std::optional<qint64> finals;
    std::optional<qint64> recoveredFinals;
};

// One message from the live transcription server.
struct LiveServerMessage
{
    QString type; // "partial", "raw", "final", "error", or anything the client ignores
    std::optional<QString> text;
    std::optional<QString> message;       // an error's text
    std::optional<LiveServerDebug> debug; // absent when malformed
    bool retainRecording = false;
    std::optional<QString> recordingUploadUrl;
    std::optional<QString> recordingObjectKey;

    // Strict on `type`, `text` and `message`; lenient on the rest.
    static Expected<LiveServerMessage, QString> fromJson(const QByteArray &bytes);
};

// Streams one dictation's audio to the backend's live transcription socket:
// opens it with the bearer token (and the vocabulary as `vocab` query items),
// sends the start message, 16 kHz 16-bit PCM frames as binary messages, and
// `{"type":"finalize"}` at the end, then waits a bounded time for the final
// text. Raw text and the first words heard are reported as they arrive.
//
// Whatever goes wrong after start (no final in time, an error message, a
// dropped connection) ends as a finalize result of nothing, given exactly
// once, so the owner falls back to uploading the recording. All waiting runs
// on the Scheduler. One client per dictation; main-thread only.
class LiveTranscriptionClient final : public QObject, public LiveTranscribing
{
    Q_OBJECT
public:
    static constexpr Millis handshakeTimeout{15000};
    // Larger server messages close the socket (and fail the session).
    static constexpr qint64 kMaxServerMessageBytes = 256 * 1024;

    LiveTranscriptionClient(const QUrl &endpoint, const QStringList &vocabulary, Scheduler &scheduler,
                            QObject *parent = nullptr);
    ~LiveTranscriptionClient() override;

    // The live capture's way to make clients.
    static LiveDictationCapture::ClientFactory factory(Scheduler &scheduler);
    // `endpoint` with one `vocab` query item per term appended to its own.
    static QUrl connectionUrl(const QUrl &endpoint, const QStringList &vocabulary);

    QUrl endpoint() const { return m_endpoint; }

    QCoro::Task<Expected<void, LiveTranscriptionError>> start(LiveSessionOptions options) override;
    void send(const QByteArray &frame) override;
    QCoro::Task<std::optional<QString>> finalize(Millis timeout) override;
    void close() override;

    bool hasFailed() const override { return m_failed; }
    bool receivedFinal() const override { return m_didReceiveFinal; }
    std::optional<QString> rawText() const override { return m_rawText; }
    QString latestPartial() const override { return m_latestPartial; }
    bool retainRecording() const override { return m_retainRecording; }
    std::optional<QString> recordingUploadUrl() const override { return m_recordingUploadUrl; }
    std::optional<QString> recordingObjectKey() const override { return m_recordingObjectKey; }
    std::optional<QString> finalText() const { return m_finalText; }

private:
    // The pending finalize: the first of the final, a failure, close or the
    // timeout settles it; the rest find it settled.
    struct FinalWaiter
    {
        std::stop_source wake;
        bool settled = false;
        std::optional<QString> text;
    };

    void onTextMessage(const QString &text);
    void onBinaryMessage(const QByteArray &bytes);
    void handle(const LiveServerMessage &message);
    void onSocketEnded(const QString &reason);
    void announceSpeechIfNeeded(const std::optional<QString> &text);
    void markFailed(const QString &reason);
    void resumeFinal(std::optional<QString> text);
    qint64 msSinceFinalize() const;
    void dropSocket();

    QUrl m_endpoint;
    Scheduler &m_scheduler;
    QWebSocket *m_socket = nullptr;
    bool m_connecting = false;
    std::optional<std::stop_source> m_connectWait;
    QString m_connectError;

    bool m_failed = false;
    bool m_closing = false;
    bool m_didReceiveFinal = false;
    std::optional<QString> m_finalText;
    std::optional<QString> m_rawText;
    bool m_retainRecording = false;
    std::optional<QString> m_recordingUploadUrl;
    std::optional<QString> m_recordingObjectKey;
    QString m_latestPartial;
    bool m_firstPartialLogged = false;
    std::function<void(QString)> m_onRaw;
    std::function<void()> m_onSpeech;
    bool m_speechAnnounced = false;
    std::shared_ptr<FinalWaiter> m_finalWaiter;
    std::optional<Millis> m_connectedAt;
    std::optional<Millis> m_finalizeSentAt;
};

} // namespace dravelin
