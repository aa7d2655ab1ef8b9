#include "text/FillerWordRemover.h"

#include <QRegularExpression>

#include <algorithm>

namespace dravelin {

QStringList defaultFillerWords()
{
    return {QStringLiteral("um"),  QStringLiteral("uh"),   QStringLiteral("er"),      QStringLiteral("ah"),
            QStringLiteral("eh"),  QStringLiteral("umm"),  QStringLiteral("uhh"),     QStringLiteral("err"),
            QStringLiteral("ahh"), QStringLiteral("ehh"),  QStringLiteral("hmm"),     QStringLiteral("hm"),
            QStringLiteral("mm"),  QStringLiteral("mmm"),  QStringLiteral("erm"),     QStringLiteral("urm"),
            QStringLiteral("ugh"), QStringLiteral("like"), QStringLiteral("you know")};
}

QString FillerWordRemover::remove(const QString &text, const QStringList &words)
{
    QStringList normalised;
    for (const QString &word : words) {
        const QString w = word.trimmed().toLower();
        if (!w.isEmpty())
            normalised << w;
    }
    if (normalised.isEmpty())
        return text;
    std::stable_sort(normalised.begin(), normalised.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });

    QString out = text;
    for (const QString &word : normalised) {
        const QRegularExpression pattern(
            QStringLiteral("\\b") + QRegularExpression::escape(word) + QStringLiteral("\\b"),
            QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
        if (pattern.isValid())
            out.remove(pattern);
    }
    static const QRegularExpression runs(QStringLiteral("[ \\t]{2,}"));
    static const QRegularExpression beforePunctuation(QStringLiteral("\\s+([,.!?;:])"));
    static const QRegularExpression doubleComma(QStringLiteral("\\s*,\\s*,\\s*"));
    static const QRegularExpression leading(QStringLiteral("^[,.!?;:\\s]+"));
    out.replace(runs, QStringLiteral(" "));
    out.replace(beforePunctuation, QStringLiteral("\\1"));
    out.replace(doubleComma, QStringLiteral(", "));
    out.replace(leading, QString());
    return out.trimmed();
}

} // namespace dravelin
