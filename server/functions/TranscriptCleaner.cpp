#include "functions/TranscriptCleaner.h"

#include "core/Log.h"
#include "llm/LanguageModel.h"
#include "llm/TextPrompts.h"

#include <QRegularExpression>

namespace dravelin::server {

namespace {

// Below this many words the rules leave nothing for a model to improve.
constexpr qsizetype kMinWordsForModel = 4;

qsizetype wordCount(const QString &text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.split(space, Qt::SkipEmptyParts).size();
}

} // namespace

TranscriptCleaner::TranscriptCleaner(LanguageModel *model, Millis timeLimit) : m_model(model), m_timeLimit(timeLimit) {}

bool TranscriptCleaner::acceptable(const QString &input, const QString &output)
{
    return !output.isEmpty() && keptWordShare(input, output) >= kMinKeptShare &&
           keptWordShare(output, input) >= kMinOwnShare;
}

QCoro::Task<CleanupResult> TranscriptCleaner::clean(QString raw, CleanupOptions options,
                                                    std::function<bool()> stillWanted)
{
    const CleanupResult rules = cleanupTranscript(raw, options);
    // The model's instructions and its checks are written for English.
    if (!m_model || !options.isEnglish() || wordCount(rules.text) < kMinWordsForModel)
        co_return rules;

    GenerationRequest request;
    request.messages = cleanupMessages(rules.text, options.removeFillerWords);
    request.maxTokens = 32 + static_cast<int>(rules.text.size() / 2);
    request.timeLimit = m_timeLimit;
    request.stillWanted = std::move(stillWanted);
    const auto generated = co_await m_model->generate(std::move(request));
    if (!generated) {
        logs::info(logs::cleanup(),
                   QStringLiteral("Model cleanup unavailable, using the rules: %1").arg(generated.error().message));
        co_return rules;
    }
    const QString polished = tidyModelText(generated->text);
    if (!acceptable(rules.text, polished)) {
        logs::info(
            logs::cleanup(),
            QStringLiteral("Model cleanup changed the words, using the rules: %1").arg(logs::priv(polished.left(200))));
        co_return rules;
    }
    // The rules once more: the user's vocabulary and the final full stop hold
    // whatever the model wrote.
    CleanupResult result = cleanupTranscript(polished, options);
    result.cleaned = result.text != raw;
    logs::debug(
        logs::cleanup(),
        QStringLiteral("Model cleanup in %1 ms (%2 tokens)").arg(generated->elapsedMs).arg(generated->generatedTokens));
    co_return result;
}

} // namespace dravelin::server
