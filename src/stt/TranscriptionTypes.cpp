#include "stt/TranscriptionTypes.h"

#include <QStringDecoder>

namespace dravelin {

namespace {

std::optional<QString> utf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

template <typename T>
Expected<std::optional<T>, QString> strictOptional(const json::Json &object, const char *key)
{
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::optional<T>{};
    auto value = json::requiredField<T>(object, key);
    if (!value)
        return Unexpected{value.error().message};
    return std::optional<T>{*value};
}

} // namespace

std::optional<QString> decodeRecordingUploadField(const json::Json &object, const char *key)
{
    auto value = json::optionalField<QString>(object, key);
    if (!value)
        return std::nullopt;
    const QString trimmed = value->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

bool decodeRetainRecording(const json::Json &object)
{
    return json::optionalField<bool>(object, "retainRecording").value_or(false);
}

namespace {
// The three fields that say whether and where to upload the recording.
template <typename Reply>
void readRecordingFields(const json::Json &object, Reply &reply)
{
    reply.retainRecording = decodeRetainRecording(object);
    reply.recordingUploadUrl = decodeRecordingUploadField(object, "recordingUploadUrl");
    reply.recordingObjectKey = decodeRecordingUploadField(object, "recordingObjectKey");
}
} // namespace

Expected<TranscriptionResponse, QString> TranscriptionResponse::fromJson(const QByteArray &body)
{
    auto parsed = json::parse(body);
    if (!parsed)
        return Unexpected{parsed.error().message};
    TranscriptionResponse r;
    auto text = json::requiredField<QString>(*parsed, "text");
    auto raw = json::requiredField<QString>(*parsed, "raw");
    auto engine = json::requiredField<QString>(*parsed, "engine");
    auto cleaned = json::requiredField<bool>(*parsed, "cleaned");
    for (const auto *failure :
         {text ? nullptr : &text.error(), raw ? nullptr : &raw.error(), engine ? nullptr : &engine.error()}) {
        if (failure)
            return Unexpected{failure->message};
    }
    if (!cleaned)
        return Unexpected{cleaned.error().message};
    r.text = *text;
    r.raw = *raw;
    r.engine = *engine;
    r.cleaned = *cleaned;
    r.language = json::optionalField<QString>(*parsed, "language").value_or(QString());
    readRecordingFields(*parsed, r);
    return r;
}

Expected<TranscriptionStreamEvent, QString> TranscriptionStreamEvent::fromJson(const QByteArray &line)
{
    auto parsed = json::parse(line);
    if (!parsed)
        return Unexpected{parsed.error().message};
    auto stage = json::requiredField<QString>(*parsed, "stage");
    if (!stage)
        return Unexpected{stage.error().message};
    TranscriptionStreamEvent e;
    e.stage = *stage;
    auto text = strictOptional<QString>(*parsed, "text");
    auto engine = strictOptional<QString>(*parsed, "engine");
    auto cleaned = strictOptional<bool>(*parsed, "cleaned");
    auto error = strictOptional<QString>(*parsed, "error");
    if (!text)
        return Unexpected{text.error()};
    if (!engine)
        return Unexpected{engine.error()};
    if (!cleaned)
        return Unexpected{cleaned.error()};
    if (!error)
        return Unexpected{error.error()};
    e.text = *text;
    e.engine = *engine;
    e.cleaned = *cleaned;
    e.error = *error;
    readRecordingFields(*parsed, e);
    return e;
}

QByteArray transcriptionMultipartBody(const TranscriptionRequest &request, const QByteArray &boundary)
{
    QByteArray body;
    auto field = [&](const char *name, const QByteArray &value) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    body +=
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"audio.m4a\"\r\nContent-Type: audio/mp4\r\n\r\n";
    body += request.audio + "\r\n";
    if (request.durationMs)
        field("duration_ms", QByteArray::number(*request.durationMs));
    if (request.clientRecordingId)
        field("clientRecordingId", request.clientRecordingId->toString(QUuid::WithoutBraces).toUpper().toUtf8());
    if (request.appBundleID && !request.appBundleID->isEmpty())
        field("app_bundle_id", request.appBundleID->toUtf8());
    if (!request.language.isEmpty())
        field("language", request.language.toUtf8());
    field("cleanup", request.cleanupEnabled ? "1" : "0");
    field("stream", request.cleanupEnabled && request.streamCleanup ? "1" : "0");
    field("filler_words_enabled", request.fillerWordsEnabled ? "1" : "0");
    if (request.fillerWordsEnabled && !request.fillerWords.isEmpty()) {
        json::Json words = json::Json::array();
        for (const QString &w : request.fillerWords)
            words.push_back(w.toStdString());
        field("filler_words", json::encode(words));
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

QString errorEnvelopeMessage(const QByteArray &body, const QString &fallback)
{
    if (auto parsed = json::parse(body); parsed && parsed->is_object()) {
        if (auto message = json::optionalField<QString>(*parsed, "error"))
            return *message;
    }
    return utf8(body).value_or(fallback);
}

TranscriptionError transcriptionErrorFor(int status, const QByteArray &body)
{
    if (status == 401)
        return TranscriptionError::sessionExpired();
    if (status == 502)
        return TranscriptionError::provider(QStringLiteral("Transcription failed: "),
                                            errorEnvelopeMessage(body, QStringLiteral("all providers failed")));
    return TranscriptionError::unexpected(status, utf8(body).value_or(QString()));
}

} // namespace dravelin
