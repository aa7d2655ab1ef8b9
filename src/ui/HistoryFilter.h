#pragma once

#include "output/ClipboardEntry.h"

#include <QDate>
#include <QDateTime>
#include <QFont>
#include <QString>
#include <QStringList>

#include <vector>

namespace dravelin::ui::historyFilter {

// The words of a search box, in order, without blanks.
QStringList searchWords(const QString &query);
// Whether every word occurs, ignoring case, in the entry's text, its
// application (id or shown name) or its window title. No words match all.
bool matches(const ClipboardEntry &entry, const QStringList &words);

// A readable name for an application id: "firefox" → "Firefox",
// "org.gnome.TextEditor" → "TextEditor".
QString applicationName(const QString &applicationID);
// Where the text went: "Firefox — Inbox", "Firefox", "Inbox", or empty.
QString destination(const ClipboardEntry &entry);

// The heading of a day: "Today", "Yesterday", the weekday within the last
// week, then "3 March", or "3 March 2024" for another year.
QString dayLabel(const QDate &day, const QDate &today);
// When an entry was made, in local time: "Today 14:03", "Yesterday 09:12",
// "Monday 18:40", "3 March 08:15", "3 March 2024".
QString timeLabel(const QDateTime &at, const QDateTime &now);
// The time of day alone ("14:03"), for entries under their day's heading.
QString clockLabel(const QDateTime &at);

// The first `maxLines` lines of `text` as they wrap at `width` pixels in
// `font`, blank lines and surrounding spaces dropped; the last line ends in
// "…" when anything is left out.
QStringList previewLines(const QString &text, const QFont &font, int width, int maxLines);

// One line of the history list: a day's heading or an entry.
struct Row
{
    enum class Kind {
        day,
        entry
    };
    Kind kind = Kind::entry;
    QString label;       // the day's heading
    int entryIndex = -1; // into the entries given
};

// The entries that match `query`, newest first as given, each day's under its
// heading (by the local date of `createdAt`).
std::vector<Row> rows(const std::vector<ClipboardEntry> &entries, const QString &query, const QDateTime &now);

} // namespace dravelin::ui::historyFilter
