#include "functions/FunctionRoutes.h"
#include "recordings/RecordingRoutes.h"

#include "audio/AACFileWriter.h"
#include "auth/AuthRoutes.h"
#include "core/Json.h"
#include "core/Log.h"
#include "engines/SpeechEngine.h"
#include "functions/CleanupEngine.h"
#include "functions/LiveTranscription.h"
#include "functions/TranscriptCleaner.h"
#include "functions/Usage.h"
#include "http/Multipart.h"
#include "rest/VocabularyRoutes.h"

#include <QUuid>

namespace dravelin::server {

namespace {

std::optional<QString> optionalText(const QString &text)
{
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

void info(const QString &message)
{
    logs::info(logs::transcribe(), message);
}

// Ten minutes of speech is about ten thousand characters.
constexpr qsizetype kMaxCleanupBytes = 64 * 1024;

// A quality report is a handful of short fields.
constexpr qsizetype kMaxReportBytes = 16 * 1024;
constexpr qsizetype kMaxReasonLength = 64;
constexpr qsizetype kMaxEngineLength = 128;

int wordCount(const QString &text)
{
    return static_cast<int>(text.split(u' ', Qt::SkipEmptyParts).size());
}

bool flag(const QList<MultipartPart> &parts, const char *name)
{
    for (const auto &p : parts) {
        if (p.name == QLatin1String(name))
            return p.data.trimmed() == "1" || p.data.trimmed().toLower() == "true";
    }
    return false;
}

std::optional<QByteArray> field(const QList<MultipartPart> &parts, const char *name)
{
    for (const auto &p : parts) {
        if (p.name == QLatin1String(name))
            return p.data;
    }
    return std::nullopt;
}

QByteArray line(const json::Json &event)
{
    return json::encode(event) + '\n';
}

// Counts a request in while it lives.
class InFlight
{
public:
    explicit InFlight(int &count) : m_count(count) { ++m_count; }
    ~InFlight() { --m_count; }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

private:
    int &m_count;
};

} // namespace

FunctionRoutes::FunctionRoutes(const ServerConfig &config, Storage &storage, AuthRoutes &auth, SpeechEngine &engine,
                               TranscriptCleaner &cleaner, RecordingRoutes &recordings, Scheduler &scheduler)
    : m_config(config)
    , m_storage(storage)
    , m_auth(auth)
    , m_engine(engine)
    , m_cleaner(cleaner)
    , m_recordings(recordings)
    , m_scheduler(scheduler)
    , m_decodeQueue(std::make_unique<ThreadQueue>(QStringLiteral("com.dravelin.server-decode")))
    , m_vocabulary(std::make_unique<VocabularyRoutes>(storage, auth, scheduler))
{}

FunctionRoutes::~FunctionRoutes() = default;

void FunctionRoutes::install(Router &router)
{
    router.addStreaming(
        "POST", QStringLiteral("/functions/v1/transcribe"),
        [this](HttpRequest request, std::shared_ptr<ResponseWriter> writer) {
            return transcribe(std::move(request), std::move(writer));
        },
        m_auth.bearerCheck());
    router.add(
        "POST", QStringLiteral("/functions/v1/cleanup"),
        [this](HttpRequest request) { return cleanup(std::move(request)); }, m_auth.bearerCheck());
    router.add("GET", QStringLiteral("/functions/v1/usage"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return usage(request); });
    router.add("POST", QStringLiteral("/functions/v1/report-transcription-quality"),
               [this](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return reportQuality(request); });
    installLiveTranscription(router, *this);
    m_vocabulary->install(router);
}

void FunctionRoutes::recordTranscript(const Transcript &t)
{
    TranscriptionRecord record{QUuid::createUuid().toString(QUuid::WithoutBraces),
                               t.userId,
                               m_scheduler.wallNow().toSecsSinceEpoch(),
                               t.durationMs,
                               wordCount(t.rawText),
                               m_engine.name(),
                               t.app,
                               t.recordingId,
                               t.timeToTextMs,
                               t.language};
    // The words themselves are kept only where the user's recordings are.
    if (m_config.retainRecordings) {
        record.rawText = t.rawText;
        record.cleanedText = t.cleanedText;
    }
    m_storage.recordTranscription(record);
}

void FunctionRoutes::putRecordingGrant(json::Json &reply, const QString &userId, const QString &recordingId)
{
    const auto grant = m_recordings.grantUpload(userId, recordingId);
    reply["retainRecording"] = grant.has_value();
    if (grant) {
        reply["recordingUploadUrl"] = grant->uploadUrl;
        reply["recordingObjectKey"] = grant->objectKey;
    }
}

QStringList FunctionRoutes::userVocabulary(const QString &userId) const
{
    std::vector<VocabularyTermRow> rows = m_storage.vocabularyTerms(userId);
    std::stable_sort(rows.begin(), rows.end(), [](const VocabularyTermRow &a, const VocabularyTermRow &b) {
        return a.isFavorite != b.isFavorite ? a.isFavorite : a.createdAtUs > b.createdAtUs;
    });
    QStringList vocabulary;
    for (const VocabularyTermRow &row : rows) {
        if (vocabulary.size() == kMaxVocabulary)
            break;
        if (!row.term.trimmed().isEmpty())
            vocabulary << row.term.trimmed();
    }
    return vocabulary;
}

QCoro::Task<> FunctionRoutes::transcribe(HttpRequest request, std::shared_ptr<ResponseWriter> writer)
{
    const auto user = m_auth.requireUser(request);
    if (!user) {
        writer->send(user.error());
        co_return;
    }
    // The engine works on one upload at a time; a few more may wait their
    // turn, and beyond that the client hears at once to come back later
    // rather than wait behind a queue with no end.
    if (m_transcribing > m_config.transcriptionQueue) {
        info(QStringLiteral("Transcription refused: %1 uploads in progress or waiting").arg(m_transcribing));
        HttpResponse busy = HttpResponse::error(
            503, QStringLiteral("The server is busy with other transcriptions; try again in a few seconds."));
        busy.headers.append({"Retry-After", QByteArray::number(kBusyRetrySeconds)});
        writer->send(busy);
        co_return;
    }
    const InFlight counted(m_transcribing);
    const QByteArray boundary = multipartBoundary(request.header("content-type"));
    if (boundary.isEmpty()) {
        writer->send(HttpResponse::error(415, QStringLiteral("expected multipart/form-data with a boundary")));
        co_return;
    }
    const auto parts = parseMultipart(request.body, boundary);
    if (!parts) {
        writer->send(HttpResponse::error(400, QStringLiteral("malformed multipart body: %1").arg(parts.error())));
        co_return;
    }
    const auto audio = field(*parts, "audio");
    if (!audio || audio->isEmpty()) {
        writer->send(HttpResponse::error(400, QStringLiteral("missing audio")));
        co_return;
    }
    const bool cleanupOn = flag(*parts, "cleanup");
    const bool stream = flag(*parts, "stream");
    CleanupOptions options;
    options.removeFillerWords = flag(*parts, "filler_words_enabled");
    if (const auto words = field(*parts, "filler_words")) {
        const auto parsed = json::parse(*words);
        const auto list = parsed ? json::optionalField<QStringList>(json::Json{{"w", *parsed}}, "w") : std::nullopt;
        if (!list) {
            writer->send(HttpResponse::error(400, QStringLiteral("filler_words must be a JSON array of strings")));
            co_return;
        }
        options.fillerWords = *list;
    }
    const auto language = field(*parts, "language");
    const auto spoken = language ? spokenLanguage(QString::fromUtf8(*language)) : m_config.language;
    if (!spoken) {
        writer->send(HttpResponse::error(400, QStringLiteral("language %1").arg(spoken.error())));
        co_return;
    }
    const QString app = QString::fromUtf8(field(*parts, "app_bundle_id").value_or(QByteArray()));
    const QString recordingId = QString::fromUtf8(field(*parts, "clientRecordingId").value_or(QByteArray()));

    auto decodeJob = [bytes = *audio] {
        AudioFileInfo info;
        auto decoded = decodeAudio(bytes, &info, kMaxAudioSamples);
        return std::pair{std::move(decoded), info.tooLong};
    };
    auto [samples, tooLong] = co_await onQueue(*m_decodeQueue, m_scheduler, std::move(decodeJob));
    if (tooLong) {
        writer->send(HttpResponse::error(
            413, QStringLiteral("The recording is longer than %1 minutes").arg(kMaxAudioSamples / 16000 / 60)));
        co_return;
    }
    if (!samples) {
        writer->send(HttpResponse::error(422, QStringLiteral("audio could not be decoded: %1").arg(samples.error())));
        co_return;
    }
    const qint64 durationMs = static_cast<qint64>(samples->size()) * 1000 / 16000;
    const Millis t0 = m_scheduler.monotonicNow();
    // The user's own vocabulary steers recognition (names, jargon).
    RecognitionHints hints(userVocabulary(user->id), *spoken);
    auto raw = co_await m_engine.transcribe(std::move(samples.value()), std::move(hints));
    if (!raw) {
        writer->send(HttpResponse::error(502, QStringLiteral("speech recognition failed: %1").arg(raw.error())));
        co_return;
    }
    const QString rawText = raw->text.trimmed();
    const QString heard = raw->language;
    options.language = heard;
    info(QStringLiteral("Transcribed %1 ms of audio in %2 ms via %3")
             .arg(durationMs)
             .arg((m_scheduler.monotonicNow() - t0).count())
             .arg(m_engine.name()));
    CleanupResult cleaned{rawText, false};
    if (cleanupOn) {
        auto stillWanted = [writer] { return writer->isOpen(); };
        cleaned = co_await m_cleaner.clean(rawText, options, std::move(stillWanted));
    }
    recordTranscript({user->id, durationMs, (m_scheduler.monotonicNow() - t0).count(), rawText, cleaned.text, app,
                      recordingId, heard});
    if (stream && cleanupOn) {
        writer->beginStream(200, {{"Content-Type", "application/x-ndjson"}, {"Cache-Control", "no-store"}});
        json::Json rawEvent{{"stage", "raw"}};
        rawEvent["text"] = rawText;
        rawEvent["engine"] = m_engine.name();
        json::putOptional(rawEvent, "language", optionalText(heard));
        rawEvent["cleaned"] = false;
        writer->writeChunk(line(rawEvent));
        json::Json cleanedEvent{{"stage", "cleaned"}};
        cleanedEvent["text"] = cleaned.text;
        cleanedEvent["engine"] = m_engine.name();
        json::putOptional(cleanedEvent, "language", optionalText(heard));
        cleanedEvent["cleaned"] = cleaned.cleaned;
        putRecordingGrant(cleanedEvent, user->id, recordingId);
        writer->writeChunk(line(cleanedEvent));
        writer->endStream();
        co_return;
    }
    json::Json reply;
    reply["text"] = cleaned.text;
    reply["raw"] = rawText;
    reply["engine"] = m_engine.name();
    json::putOptional(reply, "language", optionalText(heard));
    reply["cleaned"] = cleaned.cleaned;
    putRecordingGrant(reply, user->id, recordingId);
    writer->send(HttpResponse::json(200, json::encode(reply)));
}

QCoro::Task<HttpResponse> FunctionRoutes::cleanup(HttpRequest request)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        co_return user.error();
    // The rules run on the main thread, in time that grows with the text: a
    // dictation's text is far below this, and a larger one would hold up
    // every other request.
    if (request.body.size() > kMaxCleanupBytes)
        co_return HttpResponse::error(413,
                                      QStringLiteral("A cleanup request is at most %1 bytes").arg(kMaxCleanupBytes));
    const auto body = json::parse(request.body);
    if (!body)
        co_return HttpResponse::error(400, body.error().message);
    const auto text = json::requiredField<QString>(*body, "text");
    if (!text)
        co_return HttpResponse::error(400, text.error().message);
    CleanupOptions options;
    options.removeFillerWords = json::optionalField<bool>(*body, "filler_words_enabled").value_or(false);
    options.fillerWords = json::optionalField<QStringList>(*body, "filler_words").value_or(QStringList{});
    options.vocabulary = json::optionalField<QStringList>(*body, "vocabulary").value_or(QStringList{});
    const CleanupResult result = co_await m_cleaner.clean(*text, options);
    json::Json reply;
    reply["text"] = result.text;
    reply["raw"] = *text;
    reply["cleaned"] = result.cleaned;
    reply["retainRecording"] = false;
    co_return HttpResponse::json(200, json::encode(reply));
}

HttpResponse FunctionRoutes::usage(const HttpRequest &request)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        return user.error();
    const auto query = UsageQuery::fromQuery(request.query);
    if (!query)
        return HttpResponse::error(400, query.error());
    const QDateTime now = m_scheduler.wallNow();
    const auto rows = m_storage.transcriptionsSince(user->id, usageRowsSince(now, *query));
    const json::Json report = usageReport(m_storage.transcriptionTotals(user->id), rows, now, *query);
    return HttpResponse::json(200, json::encode(report));
}

HttpResponse FunctionRoutes::reportQuality(const HttpRequest &request)
{
    const auto user = m_auth.requireUser(request);
    if (!user)
        return user.error();
    if (request.body.size() > kMaxReportBytes)
        return HttpResponse::error(413, QStringLiteral("a quality report is at most %1 bytes").arg(kMaxReportBytes));
    const auto body = json::parse(request.body);
    if (!body)
        return HttpResponse::error(400, body.error().message);
    if (!body->is_object())
        return HttpResponse::error(400, QStringLiteral("expected a JSON object"));
    const auto id = json::requiredField<QString>(*body, "clientRecordingId");
    if (!id)
        return HttpResponse::error(400, id.error().message);
    if (QUuid(*id).isNull())
        return HttpResponse::error(400, QStringLiteral("clientRecordingId must be a UUID"));
    const auto category = json::requiredField<QString>(*body, "category");
    if (!category)
        return HttpResponse::error(400, category.error().message);
    static const QStringList kCategories{QStringLiteral("success"), QStringLiteral("error"),
                                         QStringLiteral("accuracy_issue"), QStringLiteral("no_speech")};
    if (!kCategories.contains(*category))
        return HttpResponse::error(400, QStringLiteral("unknown category \"%1\"").arg(*category));
    const auto reason = json::optionalField<QString>(*body, "reason");
    if (body->contains("reason") && !(*body)["reason"].is_null() && (!reason || reason->size() > kMaxReasonLength))
        return HttpResponse::error(
            400, QStringLiteral("reason must be a string of at most %1 characters").arg(kMaxReasonLength));
    const auto engine = json::optionalField<QString>(*body, "engine");
    if (engine && engine->size() > kMaxEngineLength)
        return HttpResponse::error(400, QStringLiteral("engine is too long"));

    const QualityLabel label{*category, reason, QStringLiteral("auto"), m_scheduler.wallNow().toSecsSinceEpoch()};
    json::Json reply = json::Json::object();
    switch (m_storage.labelTranscriptionQuality(user->id, *id, label)) {
    case QualityLabelResult::stored:
        reply["stored"] = true;
        break;
    case QualityLabelResult::adminOverride:
        reply["ignored"] = "admin_override";
        break;
    case QualityLabelResult::noTranscription:
        // Not recorded yet (or never: a dictation that failed before reaching
        // us); the client tries once more a moment later.
        reply["deferred"] = true;
        break;
    }
    logs::info(logs::quality(),
               QStringLiteral("Quality report %1/%2 for %3: %4")
                   .arg(*category, reason.value_or(QStringLiteral("-")), *id, QString::fromUtf8(json::encode(reply))));
    return HttpResponse::json(200, json::encode(reply));
}

} // namespace dravelin::server
