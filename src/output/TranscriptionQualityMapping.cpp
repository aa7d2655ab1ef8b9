#include "output/TranscriptionQualityMapping.h"

#include <QStringList>

#include <utility>

namespace dravelin {

namespace {

// Pieces between whitespace characters (any Unicode space or line break).
QStringList words(const QString &text)
{
    QStringList list;
    QString current;
    for (const QChar c : text) {
        if (c.isSpace()) {
            if (!current.isEmpty())
                list << std::exchange(current, QString());
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        list << current;
    return list;
}

} // namespace

std::pair<AdminTranscriptionQualityCategory, std::optional<QString>>
TranscriptionQualityMapping::classifyCompleted(const QString &text, std::optional<qint64> durationMs)
{
    const QString trimmed = text.trimmed();
    const qsizetype count = words(trimmed).size();
    if (count == 0)
        return {AdminTranscriptionQualityCategory::noSpeech, QStringLiteral("empty_transcript")};
    if (isLikelyMissingWords(count, durationMs))
        return {AdminTranscriptionQualityCategory::accuracyIssue, QStringLiteral("partial_transcript")};
    if (isLikelyIncorrect(trimmed))
        return {AdminTranscriptionQualityCategory::accuracyIssue, QStringLiteral("incorrect_transcript")};
    return {AdminTranscriptionQualityCategory::success, std::nullopt};
}

bool TranscriptionQualityMapping::isLikelyMissingWords(qsizetype wordCount, std::optional<qint64> durationMs)
{
    if (!durationMs || *durationMs < 4000)
        return false;
    const qint64 d = *durationMs;
    if (d >= 10000 && wordCount < 5)
        return true;
    if (d >= 6000 && d < 10000 && wordCount < 3)
        return true;
    const double wordsPerMinute = static_cast<double>(wordCount) / (static_cast<double>(d) / 60000.0);
    return wordsPerMinute < 24.0;
}

bool TranscriptionQualityMapping::isLikelyIncorrect(const QString &text)
{
    const QStringList list = words(text.toLower());
    if (list.size() < 4)
        return false;
    int run = 1;
    for (qsizetype i = 1; i < list.size(); ++i) {
        run = list[i] == list[i - 1] ? run + 1 : 1;
        if (run >= 4)
            return true;
    }
    return false;
}

} // namespace dravelin
