#pragma once

#include "ServerConfig.h"
#include "core/Scheduler.h"
#include "http/Router.h"
#include "storage/Storage.h"

#include <QUuid>

namespace dravelin::server {

class AuthRoutes;

// Recordings the app uploads after a dictation, when the server keeps them
// (retainRecordings): a one-time upload URL handed out with the transcript,
// the PUT that stores the file under the recordings directory, the attach RPC
// that links it to the user's transcription, and short-lived links for
// administrators to listen to it.
class RecordingRoutes
{
public:
    static constexpr qint64 kUploadSeconds = 15 * 60;
    static constexpr qint64 kDownloadSeconds = 5 * 60;

    RecordingRoutes(const ServerConfig &config, Storage &storage, AuthRoutes &auth, Scheduler &scheduler);

    struct Grant
    {
        QString uploadUrl;
        QString objectKey; // "<user id>/<CLIENT RECORDING ID>.m4a"
    };
    // A single-use upload URL under the server's public URL; nothing when
    // recordings are not kept or the recording id is not a UUID.
    std::optional<Grant> grantUpload(const QString &userId, const QString &clientRecordingId);

    // A link to a stored recording, good for kDownloadSeconds and for more
    // than one fetch (players read a file more than once); nothing when the
    // file is gone.
    std::optional<QString> grantDownload(const QString &objectKey);

    void install(Router &router);

    // Where an object key's file lives.
    QString filePath(const QString &objectKey) const;

private:
    HttpResponse upload(const HttpRequest &request);
    HttpResponse attach(const HttpRequest &request);
    HttpResponse download(const HttpRequest &request);

    qint64 now() const;

    const ServerConfig &m_config;
    Storage &m_storage;
    AuthRoutes &m_auth;
    Scheduler &m_scheduler;
};

} // namespace dravelin::server
