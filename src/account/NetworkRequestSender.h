#pragma once

#include "account/AuthRequestSending.h"

#include <QObject>

class QNetworkAccessManager;

namespace dravelin {

// AuthRequestSending over Qt's network stack. Every HTTP status is an answer;
// only transport failures (refused, reset, timed out, TLS) are SendFailures.
class NetworkRequestSender final : public QObject, public AuthRequestSending
{
    Q_OBJECT
public:
    explicit NetworkRequestSender(QObject *parent = nullptr);
    ~NetworkRequestSender() override;

    QCoro::Task<Expected<HttpReply, SendFailure>> send(HttpRequest request) override;

private:
    QNetworkAccessManager *m_network;
};

} // namespace dravelin
