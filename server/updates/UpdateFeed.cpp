#include "updates/UpdateFeed.h"

#include "core/Json.h"
#include "core/Log.h"

#include <QFile>

namespace dravelin::server {

UpdateFeed::UpdateFeed(UpdateSettings settings, QString serverVersion)
    : m_settings(std::move(settings))
    , m_serverVersion(std::move(serverVersion))
{}

void UpdateFeed::install(Router &router)
{
    router.add("GET", QStringLiteral("/updates/feed.json"),
               [this](HttpRequest) -> QCoro::Task<HttpResponse> { co_return respond(); });
}

HttpResponse UpdateFeed::respond() const
{
    if (m_settings.feedFile.isEmpty()) {
        json::Json item{{"version", m_serverVersion.toStdString()}, {"notes", "The version of this dravelin-server."}};
        return HttpResponse::json(200, json::encode(json::Json{{"items", json::Json::array({item})}}));
    }
    QFile file(m_settings.feedFile);
    if (!file.open(QIODevice::ReadOnly)) {
        logs::error(logs::updates(),
                    QStringLiteral("Update feed %1 cannot be read: %2").arg(m_settings.feedFile, file.errorString()));
        return HttpResponse::error(503, QStringLiteral("The update feed is not available"));
    }
    const QByteArray body = file.read(kMaxFeedBytes + 1);
    if (body.size() > kMaxFeedBytes) {
        logs::error(logs::updates(), QStringLiteral("Update feed %1 is larger than %2 bytes; not served")
                                         .arg(m_settings.feedFile)
                                         .arg(kMaxFeedBytes));
        return HttpResponse::error(503, QStringLiteral("The update feed is not available"));
    }
    return HttpResponse::json(200, body);
}

} // namespace dravelin::server
