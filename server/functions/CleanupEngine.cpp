#include "functions/CleanupEngine.h"

#include "text/FillerWordRemover.h"

#include <QRegularExpression>

namespace dravelin::server {

namespace {

const QRegularExpression::PatternOptions kCaseless =
    QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption;

QString applyVocabulary(QString text, const QStringList &vocabulary)
{
    for (const QString &entry : vocabulary) {
        QString said = entry;
        QString written = entry;
        const qsizetype arrow = entry.indexOf(QStringLiteral("->"));
        if (arrow >= 0) {
            said = entry.left(arrow);
            written = entry.mid(arrow + 2);
        }
        said = said.trimmed();
        written = written.trimmed();
        if (said.isEmpty() || written.isEmpty())
            continue;
        const QRegularExpression pattern(
            QStringLiteral("\\b") + QRegularExpression::escape(said) + QStringLiteral("\\b"), kCaseless);
        text.replace(pattern, written);
    }
    return text;
}

// "first buy milk second call mum" becomes a numbered list when at least two
// ordinals appear in order.
QString ordinalsToList(const QString &text)
{
    static const QStringList ordinals{QStringLiteral("first"),   QStringLiteral("second"), QStringLiteral("third"),
                                      QStringLiteral("fourth"),  QStringLiteral("fifth"),  QStringLiteral("sixth"),
                                      QStringLiteral("seventh"), QStringLiteral("eighth"), QStringLiteral("ninth"),
                                      QStringLiteral("tenth")};
    QList<qsizetype> starts;
    QList<qsizetype> bodies;
    qsizetype from = 0;
    for (const QString &ordinal : ordinals) {
        const QRegularExpression pattern(
            QStringLiteral("(^|[.,;:!?]\\s*|\\s)(") + ordinal + QStringLiteral("(ly)?)\\b[,:]?\\s*"), kCaseless);
        const auto match = pattern.match(text, from);
        if (!match.hasMatch())
            break;
        starts << match.capturedStart(2);
        bodies << match.capturedEnd(0);
        from = match.capturedEnd(0);
    }
    if (starts.size() < 2)
        return text;
    QString out = text.left(starts.first()).trimmed();
    static const QRegularExpression trailingPunctuation(QStringLiteral("[\\s,;:]+$"));
    out.remove(trailingPunctuation);
    for (qsizetype i = 0; i < starts.size(); ++i) {
        const qsizetype end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        QString item = text.mid(bodies[i], end - bodies[i]).trimmed();
        item.remove(trailingPunctuation);
        if (!out.isEmpty())
            out += u'\n';
        out += QString::number(i + 1) + QStringLiteral(". ") + item;
    }
    return out;
}

QString repairSpacing(QString text)
{
    static const QRegularExpression runs(QStringLiteral("[ \\t]{2,}"));
    static const QRegularExpression beforePunctuation(QStringLiteral("[ \\t]+([,.!?;:])"));
    static const QRegularExpression afterPunctuation(QStringLiteral("([,!?;:])(?=[^\\s\\d,.!?;:])"));
    static const QRegularExpression repeated(QStringLiteral("([,.!?;:])\\1+"));
    text.replace(runs, QStringLiteral(" "));
    text.replace(beforePunctuation, QStringLiteral("\\1"));
    text.replace(afterPunctuation, QStringLiteral("\\1 "));
    text.replace(repeated, QStringLiteral("\\1"));
    return text.trimmed();
}

QString capitalise(QString text, bool english)
{
    static const QRegularExpression lonelyI(QStringLiteral("\\bi\\b"));
    if (english)
        text.replace(lonelyI, QStringLiteral("I"));
    bool startOfSentence = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isLetter()) {
            if (startOfSentence)
                text[i] = c.toUpper();
            startOfSentence = false;
        } else if (c.isDigit()) {
            startOfSentence = false;
        } else if (c == u'.' || c == u'!' || c == u'?' || c == u'\n') {
            startOfSentence = true;
        }
    }
    return text;
}

QString finishSentences(QString text)
{
    QStringList lines = text.split(u'\n');
    for (QString &line : lines) {
        line = line.trimmed();
        // A line ending in a comma is a letter's greeting ("Dear Ana,").
        if (!line.isEmpty() && !QStringLiteral(".!?:;,").contains(line.back()))
            line += u'.';
    }
    return lines.join(u'\n');
}

} // namespace

CleanupResult cleanupTranscript(const QString &raw, const CleanupOptions &options)
{
    QString text = raw;
    const bool english = options.isEnglish();
    // The user's own filler words hold in any language; the built-in ones are English.
    if (options.removeFillerWords && (english || !options.fillerWords.isEmpty()))
        text =
            FillerWordRemover::remove(text, options.fillerWords.isEmpty() ? defaultFillerWords() : options.fillerWords);
    text = applyVocabulary(text, options.vocabulary);
    text = repairSpacing(text);
    if (english)
        text = ordinalsToList(text);
    text = capitalise(text, english);
    text = finishSentences(text);
    return {text, text != raw};
}

} // namespace dravelin::server
