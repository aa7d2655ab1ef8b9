#include "account/OAuthLoopbackListener.h"

#include "core/Log.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace dravelin {

QString OAuthLoopbackError::description() const
{
    switch (kind) {
    case Kind::couldNotStart:
        return QStringLiteral("Could not start secure sign-in: ") + cause;
    case Kind::malformedRequest:
        return QStringLiteral("The browser returned an invalid sign-in response.");
    case Kind::timedOut:
        return QStringLiteral("Sign-in timed out. Please try again.");
    case Kind::cancelled:
        return QStringLiteral("Sign-in was cancelled.");
    }
    return {};
}

QByteArray OAuthLoopbackListener::returnPage()
{
    return "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width\">\n<title>Return to Dravelin</title><style>body{font:16px "
           "system-ui;background:#f4f0e8;color:#171915;display:grid;place-items:center;min-height:100vh;margin:0}"
           "main{max-width:30rem;padding:2rem;text-align:center}b{color:#b62f1f}</style>\n<main><h1>Return to "
           "Dravelin</h1><p>The protected sign-in response was received. You can close this window.</p><b>No password "
           "was sent to the app.</b></main></html>";
}

QByteArray OAuthLoopbackListener::stoppedPage()
{
    return "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><title>Sign-in stopped</title><body><h1>Sign-in "
           "stopped</h1><p>The response was invalid. Return to Dravelin and try again.</p></body></html>";
}

QByteArray OAuthLoopbackListener::notFoundPage()
{
    return "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><title>Not found</title><body><h1>Not "
           "found</h1></body></html>";
}

OAuthLoopbackListener::OAuthLoopbackListener(quint16 port, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_scheduler(scheduler)
{}

OAuthLoopbackListener::~OAuthLoopbackListener()
{
    // A finished listener no longer touches the scheduler: it may be deleted
    // later than the scheduler lives.
    if (m_timeout)
        m_scheduler.cancelWake(std::exchange(m_timeout, 0));
    if (m_waiter) {
        // Nobody will resume the waiter after this; finish it as cancelled.
        m_pending = Unexpected{OAuthLoopbackError{OAuthLoopbackError::Kind::cancelled, {}}};
        std::exchange(m_waiter, nullptr).resume();
    }
}

quint16 OAuthLoopbackListener::port() const
{
    return m_server ? m_server->serverPort() : m_port;
}

bool OAuthLoopbackListener::isListening() const
{
    return m_server && m_server->isListening();
}

Expected<void, OAuthLoopbackError> OAuthLoopbackListener::start()
{
    if (m_server)
        return {};
    m_server = new QTcpServer(this);
    if (!m_server->listen(QHostAddress::LocalHost, m_port)) {
        const QString cause = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return Unexpected{OAuthLoopbackError{OAuthLoopbackError::Kind::couldNotStart, cause}};
    }
    connect(m_server, &QTcpServer::newConnection, this, &OAuthLoopbackListener::accept);
    return {};
}

void OAuthLoopbackListener::accept()
{
    while (QTcpSocket *socket = m_server ? m_server->nextPendingConnection() : nullptr) {
        socket->setParent(this);
        auto buffer = std::make_shared<QByteArray>();
        auto done = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, done] {
            if (*done)
                return;
            *buffer += socket->readAll();
            if (buffer->size() > kMaxRequestBytes) {
                *done = true;
                handle(socket, {}, true);
            } else if (buffer->contains("\r\n\r\n")) {
                *done = true;
                handle(socket, *buffer, false);
            }
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void OAuthLoopbackListener::handle(QTcpSocket *socket, const QByteArray &request, bool failed)
{
    if (failed) {
        respond(socket, "400 Bad Request", stoppedPage());
        return;
    }
    const auto parsed = OAuthLoopbackParser::parse(request);
    switch (parsed.outcome) {
    case OAuthLoopbackParser::Outcome::malformed:
        respond(socket, "400 Bad Request", stoppedPage());
        return;
    case OAuthLoopbackParser::Outcome::notCallback:
        respond(socket, "404 Not Found", notFoundPage());
        return;
    case OAuthLoopbackParser::Outcome::callback:
        if (m_expectedState && parsed.callback.state != m_expectedState) {
            logs::info(logs::auth(), QStringLiteral("Ignored a sign-in callback whose state does not match"));
            respond(socket, "400 Bad Request", stoppedPage());
            return;
        }
        respond(socket, "200 OK", returnPage());
        finish(parsed.callback);
        return;
    }
}

void OAuthLoopbackListener::respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &page)
{
    socket->write("HTTP/1.1 " + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + QByteArray::number(page.size()) +
                  "\r\nCache-Control: no-store\r\nContent-Security-Policy: default-src 'none'; style-src "
                  "'unsafe-inline'; base-uri 'none'; frame-ancestors 'none'\r\nReferrer-Policy: "
                  "no-referrer\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n" +
                  page);
    socket->disconnectFromHost();
}

QCoro::Task<OAuthLoopbackListener::Result> OAuthLoopbackListener::waitForCallback(Millis timeout)
{
    if (!m_pending) {
        m_scheduler.cancelWake(m_timeout);
        QPointer self(this);
        m_timeout = m_scheduler.scheduleWake(timeout, [self] {
            if (self)
                self->finish(Unexpected{OAuthLoopbackError{OAuthLoopbackError::Kind::timedOut, {}}});
        });
        struct Awaiter
        {
            OAuthLoopbackListener *listener;
            bool await_ready() const { return listener->m_pending.has_value(); }
            void await_suspend(std::coroutine_handle<> h) { listener->m_waiter = h; }
            void await_resume() const {}
        };
        co_await Awaiter{this};
    }
    co_return Result(*m_pending);
}

void OAuthLoopbackListener::finish(Result result)
{
    if (m_timeout)
        m_scheduler.cancelWake(std::exchange(m_timeout, 0));
    if (!m_pending)
        m_pending = std::move(result);
    m_stopping = true;
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (auto waiter = std::exchange(m_waiter, nullptr))
        waiter.resume();
}

} // namespace dravelin
