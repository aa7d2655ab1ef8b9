#pragma once

#include "ServerConfig.h"
#include "core/Json.h"
#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "http/Router.h"
#include "storage/Storage.h"

namespace dravelin::server {

class AuthRoutes;
class RecordingRoutes;
class VocabularyRoutes;
class SpeechEngine;
class TranscriptCleaner;

// The edge functions under /functions/v1: transcribe (multipart upload; one
// JSON reply, or an NDJSON stream of "raw" then "cleaned"/"cleaned-error"),
// cleanup (JSON), usage (GET: the caller's figures), report-transcription-
// quality (JSON: a quality label on the caller's own transcription), and the
// live transcription WebSocket /transcribe-stream.
// Also installs the REST table /rest/v1/vocabulary_terms (VocabularyRoutes).
// Every function needs a valid bearer token and answers failures with
// {"error": message}.
class FunctionRoutes
{
public:
    FunctionRoutes(const ServerConfig &config, Storage &storage, AuthRoutes &auth, SpeechEngine &engine,
                   TranscriptCleaner &cleaner, RecordingRoutes &recordings, Scheduler &scheduler);
    // Ten minutes of 16 kHz audio: the most one dictation may hold, uploaded
    // or streamed.
    static constexpr qint64 kMaxAudioSamples = 16000LL * 600;
    // What a refused upload is told to wait before trying again.
    static constexpr int kBusyRetrySeconds = 5;

    // The user's own terms for the recogniser's prompt: favourites first,
    // then the newest, at most kMaxVocabulary.
    static constexpr int kMaxVocabulary = 100;
    QStringList userVocabulary(const QString &userId) const;

    ~FunctionRoutes();

    void install(Router &router);

    // Shared by both ways of transcribing: the transcript's usage record, and
    // the recording upload grant ("retainRecording", "recordingUploadUrl",
    // "recordingObjectKey") put into a reply.
    struct Transcript
    {
        QString userId;
        qint64 durationMs = 0;
        qint64 timeToTextMs = 0; // from the whole audio in hand to the cleaned text
        QString rawText;
        QString cleanedText;
        QString app;
        QString recordingId;
        QString language;
    };
    void recordTranscript(const Transcript &transcript);
    void putRecordingGrant(json::Json &reply, const QString &userId, const QString &recordingId);

    const ServerConfig &config() const { return m_config; }
    SpeechEngine &engine() { return m_engine; }
    TranscriptCleaner &cleaner() { return m_cleaner; }
    AuthRoutes &auth() { return m_auth; }
    Scheduler &scheduler() { return m_scheduler; }

private:
    QCoro::Task<> transcribe(HttpRequest request, std::shared_ptr<ResponseWriter> writer);
    QCoro::Task<HttpResponse> cleanup(HttpRequest request);
    HttpResponse usage(const HttpRequest &request);
    HttpResponse reportQuality(const HttpRequest &request);

    const ServerConfig &m_config;
    Storage &m_storage;
    AuthRoutes &m_auth;
    SpeechEngine &m_engine;
    TranscriptCleaner &m_cleaner;
    RecordingRoutes &m_recordings;
    Scheduler &m_scheduler;
    std::unique_ptr<ThreadQueue> m_decodeQueue;
    int m_transcribing = 0; // uploads accepted and not yet answered
    std::unique_ptr<VocabularyRoutes> m_vocabulary;
};

} // namespace dravelin::server
