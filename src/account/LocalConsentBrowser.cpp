#include "account/LocalConsentBrowser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QUrlQuery>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

namespace dravelin {

namespace {

using ReplyPtr = std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)>;

ReplyPtr own(QNetworkReply *reply)
{
    return ReplyPtr(reply, [](QNetworkReply *r) { r->deleteLater(); });
}

QNetworkRequest pageRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(30000);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

} // namespace

LocalConsentBrowser::LocalConsentBrowser(QString email, QObject *parent)
    : QObject(parent)
    , m_email(std::move(email))
    , m_network(new QNetworkAccessManager(this))
{}

bool LocalConsentBrowser::openURL(const QUrl &url)
{
    m_tasks.track(consent(url));
    return true;
}

QCoro::Task<> LocalConsentBrowser::consent(QUrl url)
{
    QPointer<LocalConsentBrowser> self(this);
    const auto page = own(m_network->get(pageRequest(url)));
    co_await page.get();
    if (!self)
        co_return;
    const QString html = QString::fromUtf8(page->readAll());
    const QString ticket =
        QRegularExpression(QStringLiteral("name=\"ticket\" value=\"([^\"]+)\"")).match(html).captured(1);
    if (ticket.isEmpty()) {
        Q_EMIT failed(QStringLiteral("The sign-in page has no consent form (%1)").arg(page->errorString()));
        co_return;
    }

    QUrlQuery form;
    form.addQueryItem(QStringLiteral("ticket"), ticket);
    form.addQueryItem(QStringLiteral("email"), QString::fromUtf8(QUrl::toPercentEncoding(m_email)));
    form.addQueryItem(QStringLiteral("decision"), QStringLiteral("allow"));
    QNetworkRequest post = pageRequest(url);
    post.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    const auto decision = own(m_network->post(post, form.toString(QUrl::FullyEncoded).toUtf8()));
    co_await decision.get();
    if (!self)
        co_return;
    const QUrl location = decision->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (location.isEmpty()) {
        Q_EMIT failed(QStringLiteral("The consent was not accepted (HTTP %1)")
                          .arg(decision->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()));
        co_return;
    }

    // The redirect lands on the app's loopback listener, like a browser's would.
    const auto callback = own(m_network->get(pageRequest(url.resolved(location))));
    co_await callback.get();
}

} // namespace dravelin
