#pragma once

#include "core/Expected.h"
#include "core/Scheduler.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace dravelin {

// Why a live session did not get going. It has no user-facing text: the
// owners log it and transcribe the recording by upload instead.
struct LiveTranscriptionError
{
    enum class Kind {
        notAuthenticated, // no access token to open the socket with
        connectFailed,    // the socket did not open, or the start message did not go out
        startFailed       // the live capture's own microphone start failed
    };

    Kind kind = Kind::connectFailed;
    QString message;
};

QString toString(const LiveTranscriptionError &error);

// What the start message of a live session carries, and where its early
// signals go. Both callbacks run on the main thread.
struct LiveSessionOptions
{
    QString token;
    bool cleanup = true;     // the server cleans the final text up
    QStringList fillerWords; // words the server removes; empty keeps them
    QString language;        // spoken: a two-letter code or "auto"; empty: the server's default
    std::optional<QString> appBundleID;
    std::optional<QUuid> clientRecordingId;
    std::function<void(QString)> onRaw; // the raw transcript, as soon as it arrives
    std::function<void()> onSpeech;     // once, when the first words arrive
};

// One live transcription session as the live capture sees it: it starts or
// fails, takes 16-bit PCM frames, and at the end yields the final text or
// nothing within a bounded time. The socket client implements it; tests
// script it. Main-thread only.
class LiveTranscribing
{
public:
    virtual ~LiveTranscribing() = default;

    // Opens the session and sends the start message.
    virtual QCoro::Task<Expected<void, LiveTranscriptionError>> start(LiveSessionOptions options) = 0;
    // Sends one frame; never waits. Frames after finalize, close or a failure are dropped.
    virtual void send(const QByteArray &frame) = 0;
    // Asks for the final text and waits at most `timeout`; nothing when the
    // session failed, stalled or was closed first. Resolves exactly once.
    virtual QCoro::Task<std::optional<QString>> finalize(Millis timeout) = 0;
    // Ends the session; a pending finalize resolves at once.
    virtual void close() = 0;

    // What the session left behind, read after finalize.
    virtual bool hasFailed() const = 0;
    virtual bool receivedFinal() const = 0;
    virtual std::optional<QString> rawText() const = 0;
    virtual QString latestPartial() const = 0;
    virtual bool retainRecording() const = 0;
    virtual std::optional<QString> recordingUploadUrl() const = 0;
    virtual std::optional<QString> recordingObjectKey() const = 0;
};

} // namespace dravelin
