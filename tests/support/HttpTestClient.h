#pragma once

// A blocking HTTP client for integration tests: runs the event loop until the
// reply is complete (or a timeout), never following redirects.

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace dravelin::test {

struct HttpResult
{
    int status = 0; // 0: no HTTP response
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QList<QNetworkReply::RawHeaderPair> headers;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers) {
            if (key.toLower() == name.toLower())
                return value;
        }
        return {};
    }
};

class HttpTestClient
{
public:
    explicit HttpTestClient(QString base) : m_base(std::move(base)) {}

    HttpResult send(const QByteArray &method, const QString &path, const QByteArray &body = {},
                    const QList<QPair<QByteArray, QByteArray>> &headers = {}, int timeoutMs = 60000)
    {
        QNetworkRequest request(QUrl(m_base + path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        QNetworkReply *reply = m_nam.sendCustomRequest(request, method, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        HttpResult result;
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.error = reply->error();
        result.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return result;
    }

private:
    QString m_base;
    QNetworkAccessManager m_nam;
};

} // namespace dravelin::test
