#pragma once

#include "account/BackendError.h"
#include "core/Expected.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace dravelin {

class UserDefaults;

using CleanupError = BackendError;

struct CleanupRequest
{
    QString text;
    std::optional<QString> appBundleID;
    std::optional<qint64> durationMs;
    bool fillerWordsEnabled = false;
    QStringList fillerWords;
    std::optional<QStringList> vocabulary;
    std::optional<QUuid> clientRecordingId;

    // {"text", "app_bundle_id"?, "duration_ms"?, "filler_words_enabled",
    //  "filler_words", "vocabulary"?, "clientRecordingId"?}
    QByteArray toJson() const;
};

struct CleanupResponse
{
    QString text;
    QString raw;
    bool cleaned = false;
    bool retainRecording = false;
    std::optional<QString> recordingUploadUrl;
    std::optional<QString> recordingObjectKey;

    static Expected<CleanupResponse, QString> fromJson(const QByteArray &body);
};

// What the cleanup endpoint's status means.
CleanupError cleanupErrorFor(int status, const QByteArray &body);

// Whether dictated text is tidied up (by the server or on this machine).
namespace CleanupSettings {
inline constexpr const char *kEnabledKey = "cleanup.enabled";
bool isEnabled(const UserDefaults &defaults);
} // namespace CleanupSettings

// The user's filler words and their switch.
namespace FillerWordsSettings {
inline constexpr const char *kEnabledKey = "fillerWords.enabled";
inline constexpr const char *kListKey = "fillerWords.list";
bool isEnabled(const UserDefaults &defaults);
// The saved list, or the built-in one when none is saved (or it is unreadable or empty).
QStringList words(const UserDefaults &defaults);
// Trimmed, lower-cased, without blanks and duplicates, sorted; an empty
// result restores the built-in list.
void saveWords(UserDefaults &defaults, const QStringList &words);
} // namespace FillerWordsSettings

} // namespace dravelin
