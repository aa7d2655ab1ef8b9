#pragma once

#include "core/Tasks.h"
#include "platform/Workspace.h"

#include <QObject>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

namespace dravelin {

// Stands in for the user's browser against dravelin-server's own consent
// page, for unattended runs on a machine without a browser (make run, CI):
// it opens the authorize page, answers "Allow" as `email` and follows the
// redirect to the app's loopback listener. Against any other server it fails
// and the sign-in times out or is cancelled like an abandoned browser tab.
class LocalConsentBrowser final : public QObject, public Workspace
{
    Q_OBJECT
public:
    explicit LocalConsentBrowser(QString email, QObject *parent = nullptr);

    bool openURL(const QUrl &url) override;

Q_SIGNALS:
    // The consent could not be given; the text says where it stopped.
    void failed(const QString &why);

private:
    QCoro::Task<> consent(QUrl url);

    QString m_email;
    QNetworkAccessManager *m_network;
    TaskTracker m_tasks;
};

} // namespace dravelin
