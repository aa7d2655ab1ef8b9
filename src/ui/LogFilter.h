#pragma once

#include "core/LogHandler.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

namespace dravelin::ui {

// Which log entries the logs screen shows. No widgets, so it can be tested
// on its own.
struct LogFilter
{
    enum class Levels {
        all,
        infoAndErrors,
        errorsOnly
    };

    Levels levels = Levels::all;
    QString category; // empty: every category
    // Words that must each appear, in any case, in the message or the
    // category; empty: no constraint.
    QString search;

    bool accepts(const logs::Record &record) const;
    // The positions in `records` of the entries shown, in order.
    QList<int> matching(const std::vector<logs::Record> &records) const;

    // The categories that occur in `records`, sorted, each once.
    static QStringList categories(const std::vector<logs::Record> &records);
};

} // namespace dravelin::ui
