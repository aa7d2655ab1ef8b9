#pragma once

#include "account/OAuth.h"
#include "core/Expected.h"
#include "core/Scheduler.h"

#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <coroutine>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace dravelin {

struct OAuthLoopbackError
{
    enum class Kind {
        couldNotStart,
        malformedRequest,
        timedOut,
        cancelled
    };
    Kind kind = Kind::cancelled;
    QString cause; // couldNotStart

    QString description() const;
    bool operator==(const OAuthLoopbackError &) const = default;
};

// The one-shot HTTP listener on 127.0.0.1 that receives the browser's
// sign-in redirect. It answers every request with a small static page and
// hands the first well-formed callback (with the expected state, when one is
// set) to the waiting sign-in.
class OAuthLoopbackListener : public QObject
{
    Q_OBJECT
public:
    using Result = Expected<OAuthLoopbackCallback, OAuthLoopbackError>;
    static constexpr qsizetype kMaxRequestBytes = 16384;

    OAuthLoopbackListener(quint16 port, Scheduler &scheduler, QObject *parent = nullptr);
    ~OAuthLoopbackListener() override;

    // Listens on 127.0.0.1 only; fails when the port is taken.
    Expected<void, OAuthLoopbackError> start();
    // Callbacks with another state (a request some other local program
    // forged) are refused and the listener keeps waiting for the real one.
    void setExpectedState(QString state) { m_expectedState = std::move(state); }
    QCoro::Task<Result> waitForCallback(Millis timeout);
    // Ends the listener with a result; only the first result counts.
    void finish(Result result);

    quint16 port() const;
    bool isListening() const;

    static QByteArray returnPage();
    static QByteArray stoppedPage();
    static QByteArray notFoundPage();

private:
    void accept();
    void handle(QTcpSocket *socket, const QByteArray &request, bool failed);
    static void respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &page);

    quint16 m_port;
    Scheduler &m_scheduler;
    QTcpServer *m_server = nullptr;
    std::optional<Result> m_pending;
    std::coroutine_handle<> m_waiter;
    Scheduler::WakeId m_timeout = 0;
    bool m_stopping = false;
    std::optional<QString> m_expectedState;
};

} // namespace dravelin
