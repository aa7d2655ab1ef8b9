#include "stt/LiveTranscriptionClient.h"

#include "core/Json.h"
#include "core/Log.h"
#include "stt/TranscriptionTypes.h"

#include <QNetworkRequest>
#include <QStringDecoder>
#include <QWebSocket>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::liveWs(), message);
}

void error(const QString &message)
{
    logs::error(logs::liveWs(), message);
}

// A member that may be absent or null; a value of another type is an error.
template <typename T>
bool readOptional(const json::Json &object, const char *key, std::optional<T> &out)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return true;
    auto value = json::requiredField<T>(object, key);
    if (!value)
        return false;
    out = std::move(value.value());
    return true;
}

// The server's timing diagnostics; any member of the wrong type makes the
// whole object absent rather than the message undecodable.
std::optional<LiveServerDebug> readDebug(const json::Json &object)
{
    const auto it = object.find("debug");
    if (it == object.end() || !it->is_object())
        return std::nullopt;
    LiveServerDebug debug;
    const bool ok = readOptional(*it, "speculative", debug.speculative) &&
                    readOptional(*it, "dg_final_ms", debug.dgFinalMs) &&
                    readOptional(*it, "cleanup_ms", debug.cleanupMs) && readOptional(*it, "finals", debug.finals) &&
                    readOptional(*it, "recovered_finals", debug.recoveredFinals);
    if (!ok)
        return std::nullopt;
    return debug;
}

QString percentEncoded(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

} // namespace

Expected<LiveServerMessage, QString> LiveServerMessage::fromJson(const QByteArray &bytes)
{
    if (bytes.size() > LiveTranscriptionClient::kMaxServerMessageBytes)
        return Unexpected{QStringLiteral("message of %1 bytes is over the limit").arg(bytes.size())};
    const auto parsed = json::parse(bytes);
    if (!parsed)
        return Unexpected{parsed.error().message};
    const json::Json &object = *parsed;
    auto type = json::requiredField<QString>(object, "type");
    if (!type)
        return Unexpected{type.error().message};
    LiveServerMessage message;
    message.type = std::move(type.value());
    if (!readOptional(object, "text", message.text))
        return Unexpected{QStringLiteral("key \"text\" has the wrong type")};
    if (!readOptional(object, "message", message.message))
        return Unexpected{QStringLiteral("key \"message\" has the wrong type")};
    message.debug = readDebug(object);
    message.retainRecording = decodeRetainRecording(object);
    message.recordingUploadUrl = decodeRecordingUploadField(object, "recordingUploadUrl");
    message.recordingObjectKey = decodeRecordingUploadField(object, "recordingObjectKey");
    return message;
}

LiveTranscriptionClient::LiveTranscriptionClient(const QUrl &endpoint, const QStringList &vocabulary,
                                                 Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_endpoint(connectionUrl(endpoint, vocabulary))
    , m_scheduler(scheduler)
{}

LiveTranscriptionClient::~LiveTranscriptionClient()
{
    // A pending finalize wakes on the scheduler's next turn and finds the client gone.
    if (m_finalWaiter)
        m_finalWaiter->wake.request_stop();
    if (m_connectWait)
        m_connectWait->request_stop();
    dropSocket();
}

LiveDictationCapture::ClientFactory LiveTranscriptionClient::factory(Scheduler &scheduler)
{
    return [&scheduler](const QUrl &endpoint, const QStringList &vocabulary) -> std::unique_ptr<LiveTranscribing> {
        return std::make_unique<LiveTranscriptionClient>(endpoint, vocabulary, scheduler);
    };
}

QUrl LiveTranscriptionClient::connectionUrl(const QUrl &endpoint, const QStringList &vocabulary)
{
    if (vocabulary.isEmpty() || !endpoint.isValid())
        return endpoint;
    // Every term fully percent-encoded, so "+", "&" and "=" in a term reach
    // the server as themselves whatever its query decoding.
    QStringList items;
    if (endpoint.hasQuery())
        items << endpoint.query(QUrl::FullyEncoded);
    for (const QString &term : vocabulary)
        items << QStringLiteral("vocab=") + percentEncoded(term);
    QUrl url(endpoint);
    url.setQuery(items.join(QLatin1Char('&')), QUrl::StrictMode);
    return url.isValid() ? url : endpoint;
}

QCoro::Task<Expected<void, LiveTranscriptionError>> LiveTranscriptionClient::start(LiveSessionOptions options)
{
    using Failure = Unexpected<LiveTranscriptionError>;
    QPointer self(this);
    m_onRaw = std::move(options.onRaw);
    m_onSpeech = std::move(options.onSpeech);
    m_speechAnnounced = false;
    if (m_socket || m_closing || m_failed)
        co_return Failure{{LiveTranscriptionError::Kind::connectFailed, QStringLiteral("the session was used before")}};

    m_socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    m_socket->setMaxAllowedIncomingMessageSize(kMaxServerMessageBytes);
    m_socket->setMaxAllowedIncomingFrameSize(kMaxServerMessageBytes);
    connect(m_socket, &QWebSocket::connected, this, [this] {
        if (m_connectWait)
            m_connectWait->request_stop();
    });
    connect(m_socket, &QWebSocket::disconnected, this, [this] {
        const QString reason = m_socket && m_socket->error() != QAbstractSocket::UnknownSocketError
                                   ? m_socket->errorString()
                                   : QStringLiteral("closed by the server (code %1)")
                                         .arg(m_socket ? static_cast<int>(m_socket->closeCode()) : 0);
        onSocketEnded(reason);
    });
    connect(m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) { onSocketEnded(m_socket ? m_socket->errorString() : QString()); });
    connect(m_socket, &QWebSocket::textMessageReceived, this, &LiveTranscriptionClient::onTextMessage);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, &LiveTranscriptionClient::onBinaryMessage);

    QNetworkRequest request(m_endpoint);
    request.setRawHeader("Authorization", "Bearer " + options.token.toUtf8());
    m_connecting = true;
    m_connectWait.emplace();
    m_socket->open(request);
    // Connected, refused, closed — or the handshake timeout.
    co_await m_scheduler.sleep(handshakeTimeout, m_connectWait->get_token());
    if (!self)
        co_return Failure{{LiveTranscriptionError::Kind::connectFailed, QStringLiteral("the client went away")}};
    m_connecting = false;
    m_connectWait.reset();

    QString reason;
    if (!m_socket)
        reason = QStringLiteral("closed while connecting");
    else if (m_socket->state() != QAbstractSocket::ConnectedState)
        reason = m_connectError.isEmpty() ? QStringLiteral("no handshake within %1 ms").arg(handshakeTimeout.count())
                                          : m_connectError;
    if (reason.isEmpty()) {
        json::Json message{{"type", "start"}, {"encoding", "linear16"}, {"sample_rate", 16000}, {"channels", 1}};
        message["cleanup"] = options.cleanup;
        message["fillerWords"] = options.fillerWords;
        if (!options.language.isEmpty())
            message["language"] = options.language;
        json::putOptional(message, "app_bundle_id", options.appBundleID);
        if (options.clientRecordingId)
            message["clientRecordingId"] = options.clientRecordingId->toString(QUuid::WithoutBraces).toUpper();
        const QByteArray encoded = json::encode(message);
        if (m_socket->sendTextMessage(QString::fromUtf8(encoded)) < encoded.size())
            reason = m_socket->errorString();
    }
    if (!reason.isEmpty()) {
        m_failed = true;
        error(QStringLiteral("ws start send failed: %1").arg(reason));
        dropSocket();
        co_return Failure{{LiveTranscriptionError::Kind::connectFailed, reason}};
    }
    m_connectedAt = m_scheduler.monotonicNow();
    info(QStringLiteral("⏱ ws_connect (start frame sent)"));
    co_return Expected<void, LiveTranscriptionError>{};
}

void LiveTranscriptionClient::send(const QByteArray &frame)
{
    if (m_failed || m_closing || m_didReceiveFinal || !m_socket || !m_connectedAt)
        return;
    if (m_socket->sendBinaryMessage(frame) < frame.size())
        markFailed(m_socket->errorString());
}

QCoro::Task<std::optional<QString>> LiveTranscriptionClient::finalize(Millis timeout)
{
    if (m_didReceiveFinal)
        co_return m_finalText;
    if (m_failed)
        co_return std::nullopt;
    QPointer self(this);
    m_closing = true;
    m_finalizeSentAt = m_scheduler.monotonicNow();
    auto waiter = std::make_shared<FinalWaiter>();
    m_finalWaiter = waiter;
    if (!m_socket || !m_connectedAt) {
        resumeFinal(std::nullopt); // closed, or never started: nothing will come
        co_return std::nullopt;
    }
    const QByteArray finalizeMessage = R"({"type":"finalize"})";
    if (m_socket->sendTextMessage(QString::fromLatin1(finalizeMessage)) < finalizeMessage.size())
        markFailed(m_socket->errorString());
    info(QStringLiteral("⏱ finalize_sent"));
    if (!waiter->settled)
        co_await m_scheduler.sleep(timeout, waiter->wake.get_token());
    if (self && !waiter->settled) {
        info(QStringLiteral("⏱ final timed out — degrading to batch STT"));
        resumeFinal(std::nullopt);
    }
    co_return waiter->text;
}

void LiveTranscriptionClient::close()
{
    m_closing = true;
    dropSocket();
    resumeFinal(m_finalText);
}

void LiveTranscriptionClient::dropSocket()
{
    QWebSocket *socket = std::exchange(m_socket, nullptr);
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->close(QWebSocketProtocol::CloseCodeNormal);
    else
        socket->abort();
    socket->deleteLater();
}

void LiveTranscriptionClient::resumeFinal(std::optional<QString> text)
{
    auto waiter = std::exchange(m_finalWaiter, nullptr);
    if (!waiter || waiter->settled)
        return;
    waiter->settled = true;
    waiter->text = std::move(text);
    waiter->wake.request_stop();
}

void LiveTranscriptionClient::markFailed(const QString &reason)
{
    if (m_didReceiveFinal)
        return;
    m_failed = true;
    error(QStringLiteral("ws send failed: %1").arg(reason));
    resumeFinal(std::nullopt);
}

void LiveTranscriptionClient::onSocketEnded(const QString &reason)
{
    if (m_connecting) {
        if (m_connectError.isEmpty())
            m_connectError = reason;
        if (m_connectWait)
            m_connectWait->request_stop();
        return;
    }
    // A socket that ends after the final, or after a failure already
    // reported, has nothing more to say.
    if (m_didReceiveFinal || m_failed || !m_connectedAt)
        return;
    m_failed = true;
    error(QStringLiteral("ws recv error: %1").arg(reason));
    resumeFinal(m_finalText);
}

void LiveTranscriptionClient::onTextMessage(const QString &text)
{
    if (m_didReceiveFinal || m_failed)
        return;
    const QByteArray bytes = text.toUtf8();
    auto message = LiveServerMessage::fromJson(bytes);
    if (!message) {
        error(QStringLiteral("ws undecodable frame: %1").arg(text.left(200)));
        return;
    }
    handle(*message);
}

void LiveTranscriptionClient::onBinaryMessage(const QByteArray &bytes)
{
    if (m_didReceiveFinal || m_failed)
        return;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return; // not text at all
    onTextMessage(text);
}

qint64 LiveTranscriptionClient::msSinceFinalize() const
{
    return m_finalizeSentAt ? (m_scheduler.monotonicNow() - *m_finalizeSentAt).count() : -1;
}

void LiveTranscriptionClient::handle(const LiveServerMessage &message)
{
    if (message.type == u"partial") {
        if (message.text)
            m_latestPartial = *message.text;
        if (!m_firstPartialLogged) {
            m_firstPartialLogged = true;
            const qint64 sinceConnect = m_connectedAt ? (m_scheduler.monotonicNow() - *m_connectedAt).count() : -1;
            info(QStringLiteral("⏱ first_partial at %1 ms").arg(sinceConnect));
        }
        announceSpeechIfNeeded(message.text);
    } else if (message.type == u"raw") {
        m_rawText = message.text;
        info(QStringLiteral("⏱ raw_received (%1 chars, %2 ms after finalize)")
                 .arg(message.text ? message.text->size() : 0)
                 .arg(msSinceFinalize()));
        announceSpeechIfNeeded(message.text);
        if (message.text && m_onRaw)
            m_onRaw(*message.text);
    } else if (message.type == u"final") {
        m_finalText = message.text;
        m_didReceiveFinal = true;
        m_retainRecording = message.retainRecording;
        m_recordingUploadUrl = message.recordingUploadUrl;
        m_recordingObjectKey = message.recordingObjectKey;
        info(QStringLiteral("⏱ final_received cleaned (%1 chars, %2 ms after finalize)")
                 .arg(message.text ? message.text->size() : 0)
                 .arg(msSinceFinalize()));
        if (const auto &debug = message.debug) {
            info(QStringLiteral("⏱ server: speculative=%1 dg_final=%2ms cleanup=%3ms finals=%4 recovered=%5")
                     .arg(debug->speculative.value_or(QString()))
                     .arg(debug->dgFinalMs.value_or(-1))
                     .arg(debug->cleanupMs.value_or(-1))
                     .arg(debug->finals.value_or(-1))
                     .arg(debug->recoveredFinals.value_or(-1)));
        }
        resumeFinal(m_finalText);
    } else if (message.type == u"error") {
        m_failed = true;
        error(QStringLiteral("ws server error: %1").arg(message.message.value_or(QStringLiteral("unknown"))));
        resumeFinal(std::nullopt);
    } else {
        info(QStringLiteral("ws ignored frame type: %1").arg(message.type));
    }
}

void LiveTranscriptionClient::announceSpeechIfNeeded(const std::optional<QString> &text)
{
    if (m_speechAnnounced || !text || text->trimmed().isEmpty())
        return;
    m_speechAnnounced = true;
    info(QStringLiteral("Speech confirmed by transcript"));
    if (m_onSpeech)
        m_onSpeech();
}

} // namespace dravelin
