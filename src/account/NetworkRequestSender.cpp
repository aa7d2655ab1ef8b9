#include "account/NetworkRequestSender.h"

#include "account/OwnedReply.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

namespace dravelin {

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

NetworkRequestSender::NetworkRequestSender(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{}

NetworkRequestSender::~NetworkRequestSender() = default;

QCoro::Task<Expected<HttpReply, SendFailure>> NetworkRequestSender::send(HttpRequest request)
{
    QNetworkRequest networkRequest(request.url);
    for (const auto &[name, value] : request.headers)
        networkRequest.setRawHeader(name, value);
    networkRequest.setTransferTimeout(static_cast<int>(request.timeout.count()));
    networkRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    const OwnedReply reply(m_network->sendCustomRequest(networkRequest, request.method, request.body));
    co_await reply.get();
    if (!reply)
        co_return Unexpected(SendFailure{false, QStringLiteral("cancelled")});

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        co_return HttpReply{status.toInt(), reply->readAll()};
    SendFailure failure;
    failure.connectionLost = reply->error() == QNetworkReply::RemoteHostClosedError;
    failure.description = reply->errorString();
    co_return Unexpected(failure);
}

} // namespace dravelin
