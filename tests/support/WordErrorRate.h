#pragma once

// Word error rate: (substitutions + deletions + insertions) / reference words,
// after lower-casing, dropping punctuation and spelling out small numbers
// ("7" and "seven" are the same word), by edit distance over words.

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace dravelin::test {

inline QStringList normalisedWords(const QString &text)
{
    QString cleaned = text.toLower();
    cleaned.replace(QRegularExpression(QStringLiteral("[^a-z0-9' ]")), QStringLiteral(" "));
    static const QStringList numbers{QStringLiteral("zero"),  QStringLiteral("one"),   QStringLiteral("two"),
                                     QStringLiteral("three"), QStringLiteral("four"),  QStringLiteral("five"),
                                     QStringLiteral("six"),   QStringLiteral("seven"), QStringLiteral("eight"),
                                     QStringLiteral("nine"),  QStringLiteral("ten")};
    QStringList words = cleaned.split(u' ', Qt::SkipEmptyParts);
    for (QString &word : words) {
        bool ok = false;
        const int n = word.toInt(&ok);
        if (ok && n >= 0 && n <= 10)
            word = numbers[n];
    }
    return words;
}

// Edit distance in words between the reference and the hypothesis.
inline int wordErrors(const QString &reference, const QString &hypothesis)
{
    const QStringList ref = normalisedWords(reference);
    const QStringList hyp = normalisedWords(hypothesis);
    std::vector<int> previous(static_cast<size_t>(hyp.size()) + 1), current(previous.size());
    for (size_t j = 0; j < previous.size(); ++j)
        previous[j] = static_cast<int>(j);
    for (qsizetype i = 1; i <= ref.size(); ++i) {
        current[0] = static_cast<int>(i);
        for (qsizetype j = 1; j <= hyp.size(); ++j) {
            const int substitute = previous[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1);
            current[j] = std::min({substitute, previous[j] + 1, current[j - 1] + 1});
        }
        std::swap(previous, current);
    }
    return previous.back();
}

inline int wordCount(const QString &text)
{
    return static_cast<int>(normalisedWords(text).size());
}

} // namespace dravelin::test
