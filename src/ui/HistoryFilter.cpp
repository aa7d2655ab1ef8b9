#include "ui/HistoryFilter.h"

#include <QFontMetrics>
#include <QLocale>
#include <QRegularExpression>
#include <QTextLayout>

namespace dravelin::ui::historyFilter {

namespace {

// The window's texts are English; dates follow them rather than the system.
const QLocale &english()
{
    static const QLocale locale(QLocale::English, QLocale::UnitedKingdom);
    return locale;
}

QString relativeDay(const QDate &day, const QDate &today)
{
    const qint64 days = day.daysTo(today);
    if (days == 0)
        return QStringLiteral("Today");
    if (days == 1)
        return QStringLiteral("Yesterday");
    if (days > 1 && days < 7)
        return english().dayName(day.dayOfWeek(), QLocale::LongFormat);
    return {};
}

} // namespace

QStringList searchWords(const QString &query)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return query.split(blanks, Qt::SkipEmptyParts);
}

bool matches(const ClipboardEntry &entry, const QStringList &words)
{
    if (words.isEmpty())
        return true;
    // One text to search, with the fields on separate lines so that a word
    // never matches across two of them.
    QString haystack = entry.text;
    if (entry.sourceBundleID) {
        haystack += u'\n' + *entry.sourceBundleID;
        haystack += u'\n' + applicationName(*entry.sourceBundleID);
    }
    if (entry.windowName)
        haystack += u'\n' + *entry.windowName;
    for (const QString &word : words) {
        if (!haystack.contains(word, Qt::CaseInsensitive))
            return false;
    }
    return true;
}

QString applicationName(const QString &applicationID)
{
    const QString trimmed = applicationID.trimmed();
    const qsizetype dot = trimmed.lastIndexOf(u'.');
    QString name = dot < 0 ? trimmed : trimmed.mid(dot + 1);
    if (!name.isEmpty())
        name[0] = name[0].toUpper();
    return name;
}

QString destination(const ClipboardEntry &entry)
{
    const QString app = entry.sourceBundleID ? applicationName(*entry.sourceBundleID) : QString();
    const QString window = entry.windowName ? entry.windowName->simplified() : QString();
    if (app.isEmpty())
        return window;
    if (window.isEmpty() || window.compare(app, Qt::CaseInsensitive) == 0)
        return app;
    return app + QStringLiteral(" — ") + window;
}

QString dayLabel(const QDate &day, const QDate &today)
{
    const QString relative = relativeDay(day, today);
    if (!relative.isEmpty())
        return relative;
    if (day.year() == today.year())
        return english().toString(day, QStringLiteral("d MMMM"));
    return english().toString(day, QStringLiteral("d MMMM yyyy"));
}

QString timeLabel(const QDateTime &at, const QDateTime &now)
{
    const QDateTime local = at.toLocalTime();
    const QDate today = now.toLocalTime().date();
    const QString relative = relativeDay(local.date(), today);
    if (!relative.isEmpty())
        return relative + u' ' + clockLabel(local);
    if (local.date().year() == today.year())
        return english().toString(local.date(), QStringLiteral("d MMMM")) + u' ' + clockLabel(local);
    return english().toString(local.date(), QStringLiteral("d MMMM yyyy"));
}

QString clockLabel(const QDateTime &at)
{
    return at.toLocalTime().time().toString(QStringLiteral("HH:mm"));
}

QStringList previewLines(const QString &text, const QFont &font, int width, int maxLines)
{
    // Never more text than the lines could show at any window width: a long
    // dictation is not laid out in full just to show its start.
    const qsizetype limit = 300 * std::max(1, maxLines);
    QString prepared = text.trimmed();
    static const QRegularExpression breaks(QStringLiteral("\\s*\\n\\s*"));
    prepared.replace(breaks, QString(QChar::LineSeparator));
    if (prepared.size() > limit)
        prepared = prepared.left(limit) + QStringLiteral(" …");
    const QFontMetrics metrics(font);
    QStringList lines;
    QTextLayout layout(prepared, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line shown takes the rest of its paragraph, cut to
            // fit, and says when further lines follow.
            QString rest = prepared.mid(line.textStart());
            if (const qsizetype end = rest.indexOf(QChar::LineSeparator); end >= 0)
                rest = rest.left(end) + QStringLiteral(" …");
            lines << metrics.elidedText(rest.simplified(), Qt::ElideRight, width);
            break;
        }
        QString shown = prepared.mid(line.textStart(), line.textLength());
        shown.remove(QChar::LineSeparator);
        lines << shown.trimmed();
    }
    layout.endLayout();
    if (lines.isEmpty())
        lines << QString();
    return lines;
}

std::vector<Row> rows(const std::vector<ClipboardEntry> &entries, const QString &query, const QDateTime &now)
{
    const QStringList words = searchWords(query);
    const QDate today = now.toLocalTime().date();
    std::vector<Row> result;
    QDate current;
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
        const ClipboardEntry &entry = entries[static_cast<size_t>(i)];
        if (!matches(entry, words))
            continue;
        const QDate day = entry.createdAt.toLocalTime().date();
        if (result.empty() || day != current) {
            current = day;
            result.push_back({Row::Kind::day, dayLabel(day, today), -1});
        }
        result.push_back({Row::Kind::entry, QString(), i});
    }
    return result;
}

} // namespace dravelin::ui::historyFilter
