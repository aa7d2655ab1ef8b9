#pragma once

#include "core/Expected.h"
#include "core/Scheduler.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

namespace dravelin {

struct HttpRequest
{
    QByteArray method = "GET";
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    Millis timeout{60000};

    QByteArray header(const QByteArray &name) const;
};

struct HttpReply
{
    int status = 0;
    QByteArray body;
};

// Why a request got no HTTP answer at all.
struct SendFailure
{
    // The connection dropped before the request went out (a stale keep-alive
    // connection, typically): worth one more try.
    bool connectionLost = false;
    QString description;
};

// How the auth service talks HTTP; the network in the app, a script in tests.
class AuthRequestSending
{
public:
    virtual ~AuthRequestSending() = default;
    virtual QCoro::Task<Expected<HttpReply, SendFailure>> send(HttpRequest request) = 0;
};

} // namespace dravelin
