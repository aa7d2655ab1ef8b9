#pragma once

#include <QString>

#include <optional>

namespace dravelin {

// How a dictation went, as the backend's quality labels name it.
enum class AdminTranscriptionQualityCategory {
    success,
    error,
    accuracyIssue,
    noSpeech
};

// "success", "error", "accuracy_issue", "no_speech".
QString wireValue(AdminTranscriptionQualityCategory category);
std::optional<AdminTranscriptionQualityCategory> qualityCategoryFromWire(const QString &value);

} // namespace dravelin
