#pragma once

#include <QString>
#include <QStringList>

namespace dravelin::server {

// Deterministic transcript clean-up: filler words, vocabulary, spoken
// ordinals as numbered lists, spacing and punctuation, sentence capitals and
// the final full stop.
struct CleanupOptions
{
    bool removeFillerWords = false;
    QStringList fillerWords;
    // "term" fixes the spelling of a term; "said -> written" replaces.
    QStringList vocabulary;
    // The language the text is in ("de"); empty: English. The English rules
    // (the built-in filler words, "i" as "I", spoken ordinals as a list) are
    // left out for any other language.
    QString language;

    bool isEnglish() const { return language.isEmpty() || language == u"en"; }
};

struct CleanupResult
{
    QString text;
    bool cleaned = false; // the text changed
};

CleanupResult cleanupTranscript(const QString &raw, const CleanupOptions &options);

} // namespace dravelin::server
