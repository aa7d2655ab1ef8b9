#include "platform/LongFormDecoding.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

constexpr size_t kFrame = 320; // 20 ms

double frameEnergy(const std::vector<float> &samples, size_t from)
{
    double energy = 0;
    for (size_t i = from; i < from + kFrame; ++i)
        energy += static_cast<double>(samples[i]) * samples[i];
    return energy;
}

// The middle of the quietest `span` in [from, to), in steps of 20 ms; the
// latest of equally quiet ones, so pieces are as long as they may be. A span
// much longer than a frame finds a pause between words or sentences rather
// than the closure of a "t" inside a word.
size_t quietestPoint(const std::vector<float> &samples, size_t from, size_t to, size_t span)
{
    const size_t frames = std::max<size_t>(1, span / kFrame);
    std::vector<double> energies;
    for (size_t f = from; f + kFrame <= to; f += kFrame)
        energies.push_back(frameEnergy(samples, f));
    if (energies.size() < frames)
        return to;
    double best = -1;
    size_t bestStart = 0;
    for (size_t i = 0; i + frames <= energies.size(); ++i) {
        // Summed afresh each time: a running sum drifts, and equal pauses
        // would no longer compare equal.
        double sum = 0;
        for (size_t j = i; j < i + frames; ++j)
            sum += energies[j];
        if (best < 0 || sum <= best) {
            best = sum;
            bestStart = i;
        }
    }
    return from + (bestStart * kFrame) + frames * kFrame / 2;
}

bool hasSpeech(const std::vector<float> &piece, const LongFormOptions &options)
{
    const double threshold = options.speechLevel * options.speechLevel * kFrame;
    size_t loud = 0;
    for (size_t f = 0; f + kFrame <= piece.size() && loud < options.speechFrames; f += kFrame) {
        if (frameEnergy(piece, f) >= threshold)
            ++loud;
    }
    return loud >= options.speechFrames;
}

// The last `chars` characters of `text`, starting at a word.
QString tail(const QString &text, qsizetype chars)
{
    if (text.size() <= chars)
        return text;
    const qsizetype space = text.indexOf(u' ', text.size() - chars);
    return space < 0 ? QString() : text.mid(space + 1);
}

QString normalised(const QString &word)
{
    QString w;
    for (const QChar c : word) {
        if (c.isLetterOrNumber())
            w += c.toLower();
    }
    return w;
}

} // namespace

QString collapseRepeats(const QString &text, bool *looped)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QStringList words = text.split(whitespace, Qt::SkipEmptyParts);
    QStringList keys;
    keys.reserve(words.size());
    for (const QString &word : words)
        keys << normalised(word);
    constexpr qsizetype kLongestPhrase = 30;
    const auto same = [&keys](qsizetype a, qsizetype b, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            if (keys[a + i] != keys[b + i])
                return false;
        }
        return true;
    };
    QStringList kept;
    bool cut = false;
    for (qsizetype i = 0; i < words.size();) {
        qsizetype skip = 0;
        qsizetype phrase = 0;
        for (qsizetype n = 1; n <= kLongestPhrase && i + n * 3 <= words.size() && skip == 0; ++n) {
            qsizetype times = 1;
            while (i + (times + 1) * n <= words.size() && same(i, i + times * n, n))
                ++times;
            if (times >= (n >= 3 ? 3 : 5)) {
                skip = times * n;
                phrase = n;
            }
        }
        if (skip > 0) {
            kept.append(words.mid(i, phrase));
            i += skip;
            cut = true;
        } else {
            kept << words[i];
            ++i;
        }
    }
    if (looped)
        *looped = cut;
    return cut ? kept.join(u' ') : text.trimmed();
}

DecodeOutcome decodeLongForm(const std::vector<float> &samples, const PieceDecode &decode, std::stop_token stop,
                             const LongFormOptions &options)
{
    // Audio that fits in one window is decoded as it is, segments and all
    // (a streaming session cuts its windows at those segments).
    if (samples.size() <= options.window)
        return decode(samples, {}, std::move(stop));
    DecodeOutcome outcome;
    QString text; // everything heard so far, for the next piece's context
    QString context;
    for (size_t start = 0; start < samples.size() && !stop.stop_requested();) {
        size_t end = samples.size();
        if (end - start > options.window) {
            end = start + options.window;
            end = quietestPoint(samples, end - std::min(options.cutSearch, options.window / 2), end, options.quietSpan);
        }
        const std::vector<float> piece(samples.begin() + static_cast<std::ptrdiff_t>(start),
                                       samples.begin() + static_cast<std::ptrdiff_t>(end));
        const auto heard = [&](const LongFormPiece &how, QString &words, bool &looped) {
            DecodeOutcome result = decode(piece, how, stop);
            words = collapseRepeats(joinSegments(result.segments), &looped);
            return result;
        };
        QString words;
        bool looped = false;
        DecodeOutcome result = heard({context, outcome.language, false}, words, looped);
        if (result.error.isEmpty() && (looped || (words.isEmpty() && hasSpeech(piece, options)))) {
            QString again;
            bool loopedAgain = false;
            DecodeOutcome retried = heard({{}, outcome.language, true}, again, loopedAgain);
            // The second try wins when it gives text without a loop, or any
            // text where the first gave none.
            if (retried.error.isEmpty() && !again.isEmpty() && (!loopedAgain || words.isEmpty())) {
                result = std::move(retried);
                words = again;
                looped = loopedAgain;
            }
        }
        if (!result.error.isEmpty()) {
            outcome.error = result.error;
            return outcome;
        }
        if (outcome.language.isEmpty() && !words.isEmpty())
            outcome.language = result.language;
        if (!words.isEmpty()) {
            // One segment per piece: its segments, placed in the whole audio.
            // A collapsed loop no longer matches the segments' own texts.
            const size_t from = result.segments.empty() ? 0 : result.segments.front().startSample;
            const size_t to = result.segments.empty() ? piece.size() : result.segments.back().endSample;
            outcome.segments.push_back({start + from, start + std::min(to, piece.size()), words});
            text = text.isEmpty() ? words : text + u' ' + words;
        }
        // A loop is not carried into the next piece.
        context = looped ? QString() : tail(text, options.contextChars);
        start = end;
    }
    return outcome;
}

} // namespace dravelin
