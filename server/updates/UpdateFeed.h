#pragma once

#include "ServerConfig.h"
#include "http/Router.h"

namespace dravelin::server {

// GET /updates/feed.json, the feed the app's update check reads. A
// configured file is served as it is, read at every request (so it can be
// replaced while the server runs); without one the feed lists this server's
// own version, so clients of the same build find nothing newer.
class UpdateFeed
{
public:
    static constexpr qint64 kMaxFeedBytes = 64 * 1024;

    UpdateFeed(UpdateSettings settings, QString serverVersion);

    void install(Router &router);
    HttpResponse respond() const;

private:
    UpdateSettings m_settings;
    QString m_serverVersion;
};

} // namespace dravelin::server
