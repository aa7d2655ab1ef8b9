#pragma once

#include <QString>
#include <QStringList>

namespace dravelin {

// Strips filler words from a transcript: whole words, any letter case, the
// longest first (so "you know" goes before "you"), then repairs the spacing
// and punctuation they leave behind.
namespace FillerWordRemover {
QString remove(const QString &text, const QStringList &words);
}

// The built-in filler words, in order.
QStringList defaultFillerWords();

} // namespace dravelin
