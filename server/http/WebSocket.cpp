#include "http/WebSocket.h"

#include <QCryptographicHash>
#include <QTcpSocket>
#include <QtEndian>

namespace dravelin::server {

QByteArray webSocketAccept(const QByteArray &key)
{
    return QCryptographicHash::hash(QByteArray(key.trimmed() + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"),
                                    QCryptographicHash::Sha1)
        .toBase64();
}

std::vector<WebSocketFrame> WebSocketFrameParser::feed(const QByteArray &bytes)
{
    std::vector<WebSocketFrame> frames;
    if (m_closeCode)
        return frames;
    m_buffer += bytes;
    auto fail = [&](quint16 code, const char *why) {
        m_closeCode = code;
        m_error = QString::fromLatin1(why);
        m_buffer.clear();
    };
    for (;;) {
        if (m_buffer.size() < 2)
            return frames;
        const auto *p = reinterpret_cast<const uchar *>(m_buffer.constData());
        const bool fin = p[0] & 0x80;
        const quint8 opcode = p[0] & 0x0F;
        if (p[0] & 0x70) {
            fail(1002, "reserved bits set");
            return frames;
        }
        if ((opcode > 2 && opcode < 8) || opcode > 10) {
            fail(1002, "unknown opcode");
            return frames;
        }
        if (!(p[1] & 0x80)) {
            fail(1002, "client frames must be masked");
            return frames;
        }
        quint64 length = p[1] & 0x7F;
        qsizetype header = 2;
        if (length == 126) {
            if (m_buffer.size() < 4)
                return frames;
            length = qFromBigEndian<quint16>(p + 2);
            header = 4;
        } else if (length == 127) {
            if (m_buffer.size() < 10)
                return frames;
            length = qFromBigEndian<quint64>(p + 2);
            header = 10;
            if (length >> 63) {
                fail(1002, "invalid length");
                return frames;
            }
        }
        if (opcode >= 8 && (!fin || length > 125)) {
            fail(1002, "invalid control frame");
            return frames;
        }
        if (length > static_cast<quint64>(m_maxPayload)) {
            fail(1009, "frame too large");
            return frames;
        }
        const qsizetype total = header + 4 + static_cast<qsizetype>(length);
        if (m_buffer.size() < total)
            return frames;
        const uchar *mask = p + header;
        QByteArray payload(m_buffer.constData() + header + 4, static_cast<qsizetype>(length));
        for (qsizetype i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);
        frames.push_back({fin, opcode, std::move(payload)});
        m_buffer.remove(0, total);
    }
}

QByteArray encodeWebSocketFrame(quint8 opcode, const QByteArray &payload, bool fin)
{
    QByteArray out;
    out.append(static_cast<char>((fin ? 0x80 : 0) | (opcode & 0x0F)));
    const auto n = static_cast<quint64>(payload.size());
    if (n < 126) {
        out.append(static_cast<char>(n));
    } else if (n <= 0xFFFF) {
        out.append(static_cast<char>(126));
        uchar b[2];
        qToBigEndian<quint16>(static_cast<quint16>(n), b);
        out.append(reinterpret_cast<const char *>(b), 2);
    } else {
        out.append(static_cast<char>(127));
        uchar b[8];
        qToBigEndian<quint64>(n, b);
        out.append(reinterpret_cast<const char *>(b), 8);
    }
    return out + payload;
}

WebSocketConnection::WebSocketConnection(QTcpSocket *socket, const QByteArray &pending, Scheduler &scheduler,
                                         qsizetype maxMessage, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_scheduler(scheduler)
    , m_parser(maxMessage)
    , m_maxMessage(maxMessage)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (m_socket)
            onBytes(m_socket->readAll());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this] { finish(1006, QStringLiteral("connection lost")); });
    if (!pending.isEmpty())
        QMetaObject::invokeMethod(
            this, [this, pending] { onBytes(pending); }, Qt::QueuedConnection);
}

WebSocketConnection::~WebSocketConnection()
{
    m_scheduler.cancelWake(m_closeWake);
}

bool WebSocketConnection::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState && !m_closeSent && !m_finished;
}

void WebSocketConnection::sendText(const QString &text)
{
    if (isOpen())
        m_socket->write(encodeWebSocketFrame(1, text.toUtf8()));
}

void WebSocketConnection::sendBinary(const QByteArray &bytes)
{
    if (isOpen())
        m_socket->write(encodeWebSocketFrame(2, bytes));
}

void WebSocketConnection::close(quint16 code, const QString &reason)
{
    if (!m_socket || m_closeSent)
        return;
    m_closeSent = true;
    uchar c[2];
    qToBigEndian<quint16>(code, c);
    m_socket->write(
        encodeWebSocketFrame(8, QByteArray(reinterpret_cast<const char *>(c), 2) + reason.toUtf8().left(123)));
    m_socket->flush();
    // A peer that never answers (or never reads) would hold the socket for
    // good; the closing handshake gets a deadline.
    QPointer self(this);
    m_closeWake = m_scheduler.scheduleWake(closeTimeout, [self] {
        if (!self || !self->m_socket)
            return;
        self->m_closeWake = 0;
        self->finish(1006, QStringLiteral("no answer to the close frame"));
        self->m_socket->abort();
    });
}

void WebSocketConnection::onBytes(const QByteArray &bytes)
{
    for (const auto &frame : m_parser.feed(bytes))
        handle(frame);
    if (m_parser.failed()) {
        close(*m_parser.closeCode(), m_parser.error());
        finish(*m_parser.closeCode(), m_parser.error());
        if (m_socket)
            m_socket->disconnectFromHost();
    }
}

void WebSocketConnection::handle(const WebSocketFrame &frame)
{
    if (m_finished)
        return;
    switch (frame.opcode) {
    case 9: // ping
        if (isOpen())
            m_socket->write(encodeWebSocketFrame(10, frame.payload));
        return;
    case 10: // pong
        return;
    case 8: { // close
        const quint16 code = frame.payload.size() >= 2 ? qFromBigEndian<quint16>(frame.payload.constData()) : 1005;
        const QString reason = QString::fromUtf8(frame.payload.mid(2));
        // A one-byte payload, or a code a peer may not send (RFC 6455
        // §7.4), is a protocol error and is answered as one, not echoed.
        const bool valid =
            frame.payload.size() != 1 && (code == 1005 || (code >= 1000 && code <= 1003) ||
                                          (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999));
        if (!valid) {
            close(1002, QStringLiteral("invalid close code"));
            finish(1002, QStringLiteral("invalid close code %1").arg(code));
        } else {
            close(code == 1005 ? 1000 : code);
            finish(code, reason);
        }
        if (m_socket)
            m_socket->disconnectFromHost();
        return;
    }
    case 0: // continuation
        if (!m_messageOpcode) {
            close(1002, QStringLiteral("unexpected continuation"));
            finish(1002, QStringLiteral("unexpected continuation"));
            return;
        }
        break;
    default: // text or binary
        if (m_messageOpcode) {
            close(1002, QStringLiteral("expected a continuation"));
            finish(1002, QStringLiteral("expected a continuation"));
            return;
        }
        m_messageOpcode = frame.opcode;
        m_message.clear();
        break;
    }
    m_message += frame.payload;
    if (m_message.size() > m_maxMessage) {
        close(1009, QStringLiteral("message too large"));
        finish(1009, QStringLiteral("message too large"));
        return;
    }
    if (!frame.fin)
        return;
    const quint8 opcode = *m_messageOpcode;
    m_messageOpcode.reset();
    const QByteArray message = std::exchange(m_message, QByteArray());
    if (opcode == 1)
        Q_EMIT textMessage(QString::fromUtf8(message));
    else
        Q_EMIT binaryMessage(message);
}

void WebSocketConnection::finish(quint16 code, const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    Q_EMIT closed(code, reason);
}

} // namespace dravelin::server
