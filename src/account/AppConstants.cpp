#include "account/AppConstants.h"

#include "core/Json.h"
#include "core/Log.h"
#include "core/Paths.h"

#include <QFile>

namespace dravelin {

QString AppConstants::configFilePath()
{
    return paths::configDir() + QStringLiteral("/backend.json");
}

AppConstants AppConstants::load()
{
    AppConstants c;
    QFile file(configFilePath());
    if (file.exists() && !file.open(QIODevice::ReadOnly)) {
        c.problem = QStringLiteral("%1 cannot be read: %2").arg(configFilePath(), file.errorString());
    } else if (file.isOpen()) {
        const auto parsed = json::parse(file.read(64 * 1024));
        if (!parsed || !parsed->is_object()) {
            c.problem =
                QStringLiteral("%1 is not a JSON object (%2)")
                    .arg(configFilePath(), parsed ? QStringLiteral("another JSON value") : parsed.error().message);
        } else if (const auto base = json::optionalField<QString>(*parsed, "baseURL");
                   parsed->contains("baseURL") &&
                   (!base || !QUrl(*base, QUrl::StrictMode).isValid() || QUrl(*base).scheme().isEmpty())) {
            c.problem = QStringLiteral("%1: \"baseURL\" is not a URL").arg(configFilePath());
        } else {
            if (auto v = json::optionalField<QString>(*parsed, "baseURL"))
                c.baseURL = QUrl(*v);
            if (auto v = json::optionalField<QString>(*parsed, "functionsURL"))
                c.functionsURL = QUrl(*v);
            if (auto v = json::optionalField<QString>(*parsed, "publicApiKey"))
                c.publicApiKey = v->toUtf8();
            if (auto v = json::optionalField<QString>(*parsed, "oauthClientID"))
                c.oauthClientID = *v;
        }
    }
    if (c.problem) {
        logs::error(logs::app(), *c.problem);
        c.baseURL = QUrl(); // nothing is sent anywhere
    }
    if (qEnvironmentVariableIsSet("DRAVELIN_BASE_URL"))
        c.baseURL = QUrl(qEnvironmentVariable("DRAVELIN_BASE_URL"));
    if (qEnvironmentVariableIsSet("DRAVELIN_FUNCTIONS_URL"))
        c.functionsURL = QUrl(qEnvironmentVariable("DRAVELIN_FUNCTIONS_URL"));
    if (qEnvironmentVariableIsSet("DRAVELIN_API_KEY"))
        c.publicApiKey = qgetenv("DRAVELIN_API_KEY");
    if (qEnvironmentVariableIsSet("DRAVELIN_OAUTH_CLIENT_ID"))
        c.oauthClientID = qEnvironmentVariable("DRAVELIN_OAUTH_CLIENT_ID");
    if (c.oauthClientID) {
        *c.oauthClientID = c.oauthClientID->trimmed();
        if (c.oauthClientID->isEmpty())
            c.oauthClientID.reset();
    }
    return c;
}

QUrl AppConstants::endpoint(const char *path) const
{
    QUrl url = baseURL;
    QString base = url.path();
    if (!base.endsWith(u'/'))
        base += u'/';
    url.setPath(base + QString::fromLatin1(path));
    return url;
}

QUrl AppConstants::liveTranscribeEndpoint() const
{
    QUrl url = functionsURL.isEmpty() ? baseURL : functionsURL;
    url.setScheme(url.scheme() == u"https" ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setPath(QStringLiteral("/transcribe-stream"));
    return url;
}

} // namespace dravelin
