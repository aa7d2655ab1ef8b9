#include "text/Cleanup.h"

#include "core/Json.h"
#include "core/UserDefaults.h"
#include "stt/TranscriptionTypes.h"
#include "text/FillerWordRemover.h"

#include <QStringDecoder>

#include <set>

namespace dravelin {

QByteArray CleanupRequest::toJson() const
{
    json::Json j;
    j["text"] = text;
    json::putOptional(j, "app_bundle_id", appBundleID);
    if (durationMs)
        j["duration_ms"] = *durationMs;
    j["filler_words_enabled"] = fillerWordsEnabled;
    j["filler_words"] = fillerWords;
    if (vocabulary)
        j["vocabulary"] = *vocabulary;
    if (clientRecordingId)
        j["clientRecordingId"] = clientRecordingId->toString(QUuid::WithoutBraces).toUpper();
    return json::encode(j);
}

Expected<CleanupResponse, QString> CleanupResponse::fromJson(const QByteArray &body)
{
    const auto parsed = json::parse(body);
    if (!parsed)
        return Unexpected(parsed.error().message);
    if (!parsed->is_object())
        return Unexpected(QStringLiteral("the reply is not a JSON object"));
    const auto text = json::requiredField<QString>(*parsed, "text");
    const auto raw = json::requiredField<QString>(*parsed, "raw");
    const auto cleaned = json::requiredField<bool>(*parsed, "cleaned");
    if (!text)
        return Unexpected(text.error().message);
    if (!raw)
        return Unexpected(raw.error().message);
    if (!cleaned)
        return Unexpected(cleaned.error().message);
    CleanupResponse r;
    r.text = *text;
    r.raw = *raw;
    r.cleaned = *cleaned;
    r.retainRecording = decodeRetainRecording(*parsed);
    r.recordingUploadUrl = decodeRecordingUploadField(*parsed, "recordingUploadUrl");
    r.recordingObjectKey = decodeRecordingUploadField(*parsed, "recordingObjectKey");
    return r;
}

CleanupError cleanupErrorFor(int status, const QByteArray &body)
{
    if (status == 401)
        return CleanupError::sessionExpired();
    if (status == 502) {
        // Only a JSON object's string "error" member counts; anything else is generic.
        const auto parsed = json::parse(body);
        const auto message =
            parsed && parsed->is_object() ? json::optionalField<QString>(*parsed, "error") : std::nullopt;
        return CleanupError::provider(QStringLiteral("Formatting failed: "),
                                      message.value_or(QStringLiteral("cleanup failed")));
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(body);
    return CleanupError::unexpected(status, decoder.hasError() ? QString() : text);
}

bool CleanupSettings::isEnabled(const UserDefaults &defaults)
{
    return defaults.boolValue(QString::fromLatin1(kEnabledKey), true);
}

bool FillerWordsSettings::isEnabled(const UserDefaults &defaults)
{
    return defaults.boolValue(QString::fromLatin1(kEnabledKey), false);
}

QStringList FillerWordsSettings::words(const UserDefaults &defaults)
{
    const auto data = defaults.data(QString::fromLatin1(kListKey));
    if (data) {
        const auto parsed = json::parse(*data);
        if (parsed && parsed->is_array()) {
            QStringList list;
            bool ok = true;
            for (const auto &item : *parsed) {
                if (!item.is_string()) {
                    ok = false;
                    break;
                }
                list << QString::fromStdString(item.get<std::string>());
            }
            if (ok && !list.isEmpty())
                return list;
        }
    }
    return defaultFillerWords();
}

void FillerWordsSettings::saveWords(UserDefaults &defaults, const QStringList &words)
{
    std::set<QString> unique;
    for (const QString &word : words) {
        const QString w = word.trimmed().toLower();
        if (!w.isEmpty())
            unique.insert(w);
    }
    if (unique.empty()) {
        defaults.remove(QString::fromLatin1(kListKey));
        return;
    }
    json::Json list = json::Json::array();
    for (const QString &w : unique)
        list.push_back(w.toStdString());
    defaults.set(QString::fromLatin1(kListKey), json::encode(list));
}

} // namespace dravelin
