#pragma once

#include "account/BackendError.h"
#include "core/Expected.h"
#include "core/Json.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace dravelin {

struct TranscriptionRequest
{
    QByteArray audio; // uploaded as audio.m4a (audio/mp4) whatever the container
    std::optional<qint64> durationMs;
    std::optional<QString> appBundleID;
    bool cleanupEnabled = false;
    bool streamCleanup = false;
    bool fillerWordsEnabled = false;
    QStringList fillerWords;
    std::optional<QUuid> clientRecordingId;
    QString language; // spoken: a two-letter code or "auto"; empty: the server's default
};

struct TranscriptionResponse
{
    QString text;
    QString raw;
    QString engine;
    bool cleaned = false;
    bool retainRecording = false;
    std::optional<QString> recordingUploadUrl;
    std::optional<QString> recordingObjectKey;
    QString language = {}; // as the server heard it; empty when it cannot tell

    static Expected<TranscriptionResponse, QString> fromJson(const QByteArray &body);
};

struct TranscriptionStreamEvent
{
    QString stage; // "raw", "cleaned", "cleaned-error", …
    std::optional<QString> text;
    std::optional<QString> engine;
    std::optional<bool> cleaned;
    std::optional<QString> error;
    bool retainRecording = false;
    std::optional<QString> recordingUploadUrl;
    std::optional<QString> recordingObjectKey;

    static Expected<TranscriptionStreamEvent, QString> fromJson(const QByteArray &line);
};

// The recording fields of a reply, read leniently: a wrong type or a blank
// string is absent, and never fails the rest of the reply.
std::optional<QString> decodeRecordingUploadField(const json::Json &object, const char *key);
bool decodeRetainRecording(const json::Json &object);

// The multipart form of an upload, byte for byte.
QByteArray transcriptionMultipartBody(const TranscriptionRequest &request, const QByteArray &boundary);

// The message of an error envelope {"error": "…"}; the whole body as text when
// it is not one; `fallback` when the body is not UTF-8 either.
QString errorEnvelopeMessage(const QByteArray &body, const QString &fallback);

// What a non-200 status means for a transcription.
TranscriptionError transcriptionErrorFor(int status, const QByteArray &body);

} // namespace dravelin
