#pragma once

#include "core/Scheduler.h"
#include "functions/CleanupEngine.h"

#include <qcoro/qcorotask.h>

#include <functional>

namespace dravelin::server {

class LanguageModel;

// Cleans a transcript the way the server is configured to: with the rules
// alone, or with the rules and then the language model (punctuation inside
// sentences, question marks, casing, false starts). The model's text is used
// only when it kept the speaker's words and added no words of its own — a
// model that answers the dictation, obeys an instruction spoken in it or
// drops a clause is overruled, and so is one that is slow or fails: the rules'
// text is always there to fall back on.
class TranscriptCleaner
{
public:
    // The share of the transcript's words the model's text must keep, and of
    // its own words that must come from the transcript; set from the
    // evaluation set (see docs/benchmarks.md).
    static constexpr double kMinKeptShare = 0.9;
    static constexpr double kMinOwnShare = 0.95;

    // Without a model (null) every transcript gets the rules.
    TranscriptCleaner(LanguageModel *model, Millis timeLimit);

    bool usesModel() const { return m_model != nullptr; }

    QCoro::Task<CleanupResult> clean(
        QString raw, CleanupOptions options, std::function<bool()> stillWanted = [] { return true; });

    // Whether the model's `output` for the rules' `input` may be used.
    static bool acceptable(const QString &input, const QString &output);

private:
    LanguageModel *m_model;
    Millis m_timeLimit;
};

} // namespace dravelin::server
