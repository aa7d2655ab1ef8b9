#pragma once

#include "core/Scheduler.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>
#include <vector>

class QTcpSocket;

namespace dravelin::server {

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key (RFC 6455 §4.2.2).
QByteArray webSocketAccept(const QByteArray &key);

struct WebSocketFrame
{
    bool fin = true;
    quint8 opcode = 0; // 0 continuation, 1 text, 2 binary, 8 close, 9 ping, 10 pong
    QByteArray payload;
};

// Parses the frames a client sends (RFC 6455 §5): masking required, no
// reserved bits, control frames short and unfragmented, payloads within a limit.
class WebSocketFrameParser
{
public:
    explicit WebSocketFrameParser(qsizetype maxPayload = 1 << 20) : m_maxPayload(maxPayload) {}

    // Appends bytes; complete frames are returned in order. After an error
    // nothing more is parsed.
    std::vector<WebSocketFrame> feed(const QByteArray &bytes);
    bool failed() const { return m_closeCode.has_value(); }
    // The close code the error calls for (1002 protocol error, 1009 too big).
    std::optional<quint16> closeCode() const { return m_closeCode; }
    QString error() const { return m_error; }

private:
    QByteArray m_buffer;
    qsizetype m_maxPayload;
    std::optional<quint16> m_closeCode;
    QString m_error;
};

// A server frame (never masked).
QByteArray encodeWebSocketFrame(quint8 opcode, const QByteArray &payload, bool fin = true);

// One upgraded connection: messages in (fragmented ones reassembled), messages
// out, ping answered, and the closing handshake.
class WebSocketConnection : public QObject
{
    Q_OBJECT
public:
    // Once our close frame is out, how long the peer has to answer it (and
    // to read what we sent) before the connection is dropped.
    static constexpr Millis closeTimeout{5000};

    // Takes over `socket`; `pending` are bytes that arrived after the handshake.
    WebSocketConnection(QTcpSocket *socket, const QByteArray &pending, Scheduler &scheduler,
                        qsizetype maxMessage = 1 << 20, QObject *parent = nullptr);
    ~WebSocketConnection() override;

    void sendText(const QString &text);
    void sendBinary(const QByteArray &bytes);
    void close(quint16 code = 1000, const QString &reason = {});
    bool isOpen() const;

Q_SIGNALS:
    void textMessage(const QString &text);
    void binaryMessage(const QByteArray &bytes);
    void closed(quint16 code, const QString &reason);

private:
    void onBytes(const QByteArray &bytes);
    void handle(const WebSocketFrame &frame);
    void finish(quint16 code, const QString &reason);

    QPointer<QTcpSocket> m_socket;
    Scheduler &m_scheduler;
    Scheduler::WakeId m_closeWake = 0;
    WebSocketFrameParser m_parser;
    qsizetype m_maxMessage;
    std::optional<quint8> m_messageOpcode;
    QByteArray m_message;
    bool m_closeSent = false;
    bool m_finished = false;
};

} // namespace dravelin::server
