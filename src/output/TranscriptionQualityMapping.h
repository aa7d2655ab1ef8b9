#pragma once

#include "account/TranscriptionQualityCategory.h"

#include <QString>

#include <optional>
#include <utility>

namespace dravelin {

// Judges a delivered transcript from its words and the recording's length:
// empty, too few words for the time spoken, or stuck repeating a word.
// Pure functions, safe on any thread.
struct TranscriptionQualityMapping
{
    // (noSpeech, "empty_transcript"), (accuracyIssue, "partial_transcript"),
    // (accuracyIssue, "incorrect_transcript") or (success, none).
    static std::pair<AdminTranscriptionQualityCategory, std::optional<QString>>
    classifyCompleted(const QString &text, std::optional<qint64> durationMs);

    // Recordings under 4 s are never judged; from 10 s fewer than 5 words,
    // from 6 s fewer than 3, and otherwise fewer than 24 words a minute.
    static bool isLikelyMissingWords(qsizetype wordCount, std::optional<qint64> durationMs);

    // The same word (ignoring case, not punctuation) four times in a row.
    static bool isLikelyIncorrect(const QString &text);
};

} // namespace dravelin
