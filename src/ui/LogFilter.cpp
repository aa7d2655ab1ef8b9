#include "ui/LogFilter.h"

#include <QSet>

#include <algorithm>

namespace dravelin::ui {

namespace {

bool levelShown(LogFilter::Levels levels, logs::Level level)
{
    switch (levels) {
    case LogFilter::Levels::all:
        return true;
    case LogFilter::Levels::infoAndErrors:
        return level != logs::Level::debug;
    case LogFilter::Levels::errorsOnly:
        return level == logs::Level::error;
    }
    return true;
}

QStringList searchTerms(const QString &search)
{
    return search.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool matchesTerms(const logs::Record &record, const QStringList &terms)
{
    return std::all_of(terms.cbegin(), terms.cend(), [&record](const QString &term) {
        return record.message.contains(term, Qt::CaseInsensitive) ||
               record.category.contains(term, Qt::CaseInsensitive);
    });
}

} // namespace

bool LogFilter::accepts(const logs::Record &record) const
{
    return levelShown(levels, record.level) && (category.isEmpty() || record.category == category) &&
           matchesTerms(record, searchTerms(search.simplified()));
}

QList<int> LogFilter::matching(const std::vector<logs::Record> &records) const
{
    QList<int> shown;
    for (size_t i = 0; i < records.size(); ++i) {
        if (accepts(records[i]))
            shown.append(static_cast<int>(i));
    }
    return shown;
}

QStringList LogFilter::categories(const std::vector<logs::Record> &records)
{
    QSet<QString> seen;
    QStringList names;
    for (const logs::Record &record : records) {
        if (!record.category.isEmpty() && !seen.contains(record.category)) {
            seen.insert(record.category);
            names.append(record.category);
        }
    }
    names.sort(Qt::CaseInsensitive);
    return names;
}

} // namespace dravelin::ui
