#pragma once

#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"
#include "core/Tasks.h"

#include <QObject>
#include <QUrl>
#include <QUuid>

namespace dravelin {

class Scheduler;

// The pipeline's view of the uploader.
class RecordingUploading
{
public:
    virtual ~RecordingUploading() = default;
    // Returns at once; the upload runs on its own and nobody waits for it.
    virtual void upload(QByteArray data, QUuid clientRecordingId, QUrl uploadURL, QString objectKey) = 0;
};

// Stores a dictation's recording where the backend asked for it: AAC-encodes
// a WAV capture, PUTs it to the one-time upload URL, then attaches the stored
// object to the recording's row through the attach RPC (up to four tries).
class RecordingUploader final : public QObject, public RecordingUploading
{
    Q_OBJECT
public:
    RecordingUploader(TokenSource &auth, QUrl attachEndpoint, QByteArray anonKey, AuthRequestSending &sender,
                      Scheduler &scheduler, QObject *parent = nullptr);

    void upload(QByteArray data, QUuid clientRecordingId, QUrl uploadURL, QString objectKey) override;
    // The upload itself; true when the recording was stored and attached.
    QCoro::Task<bool> uploadNow(QByteArray data, QUuid clientRecordingId, QUrl uploadURL, QString objectKey);

    TaskTracker &taskTracker() { return m_tasks; }

private:
    QCoro::Task<std::optional<int>> send(HttpRequest request, QString stage);

    TokenSource &m_auth;
    QUrl m_attachEndpoint;
    QByteArray m_anonKey;
    AuthRequestSending &m_sender;
    Scheduler &m_scheduler;
    TaskTracker m_tasks;
};

} // namespace dravelin
