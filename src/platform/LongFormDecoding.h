#pragma once

#include "platform/StreamingDecoder.h"

#include <QString>

#include <functional>
#include <stop_token>
#include <vector>

namespace dravelin {

// Long recordings (a five-minute upload) decoded in one pass go wrong in ways
// short ones do not: a model that sees one 30 s window at a time loses its
// place between windows, and once it repeats itself it keeps repeating for
// the rest of the file. So audio longer than one window is split here, each
// piece cut at the quietest moment near its end (never inside a word, so no
// overlap is needed), decoded with the end of the text before it as context,
// and checked: a piece that comes back looping, or empty although someone
// speaks in it, is decoded again without the carried context and with the
// decoder's own fallbacks on; a loop that survives is cut to one occurrence.
struct LongFormOptions
{
    size_t window = 16000 * 28;        // at most this much audio per decode
    size_t cutSearch = 16000 * 8;      // the cut is in the quietest stretch of a piece's last 8 s...
    size_t quietSpan = 16000 * 3 / 10; // ...0.3 s long
    qsizetype contextChars = 200;      // text carried into the next piece as context
    double speechLevel = 0.02;         // RMS of 20 ms above which someone is speaking...
    size_t speechFrames = 25;          // ...in at least this many frames (0.5 s): a piece that must give text
};

// What one piece is decoded with.
struct LongFormPiece
{
    QString context = {};  // the end of the text before it; empty for the first piece or after a loop
    QString language = {}; // the language the first piece was heard in; empty: as hinted
    bool retry = false;    // decoded again: the decoder may fall back to sampling
};

using PieceDecode =
    std::function<DecodeOutcome(const std::vector<float> &piece, const LongFormPiece &how, std::stop_token stop)>;

// Decodes `samples` piece by piece, one segment per piece placed in
// `samples`; the language is the first one heard. An error stops at that
// piece, with the text before it kept. Audio that fits in one window is
// handed to `decode` whole and its outcome returned untouched.
DecodeOutcome decodeLongForm(const std::vector<float> &samples, const PieceDecode &decode, std::stop_token stop,
                             const LongFormOptions &options = {});

// `text` with every phrase that repeats back to back more often than speech
// does (a phrase of three or more words three times, a shorter one five
// times) cut to one occurrence; `looped` tells whether anything was cut.
QString collapseRepeats(const QString &text, bool *looped = nullptr);

} // namespace dravelin
