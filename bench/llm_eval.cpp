// The language model behind rewrite, ask and model-backed cleanup, measured
// on the evaluation set in bench/llm-eval.json: for each GGUF model given,
// load time, the worker's memory, prompt and generation speed, the latency of
// a 40-word rewrite and of a cleanup, and the share of cases that pass —
// for cleanup, the rules alone against the server's model-backed cleaner.
// It runs the server's own prompts, worker and answer readers.
//
//   llm_eval EVAL.json MODEL.gguf [MODEL.gguf …]    (add -v to print every answer)

#include "core/Json.h"
#include "core/QtScheduler.h"
#include "functions/CleanupEngine.h"
#include "functions/TranscriptCleaner.h"
#include "llm/LocalModel.h"
#include "llm/ModelFactory.h"
#include "llm/TextPrompts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cstdio>

using namespace dravelin;
using namespace dravelin::server;

namespace {

bool verbose = false;
const QStringList kFillers{QStringLiteral("um"), QStringLiteral("uh"),  QStringLiteral("erm"),
                           QStringLiteral("er"), QStringLiteral("uhm"), QStringLiteral("hmm")};

bool hasWord(const QString &text, const QString &word)
{
    const QRegularExpression pattern(QStringLiteral("(?<![\\w])") + QRegularExpression::escape(word) +
                                         QStringLiteral("(?![\\w])"),
                                     QRegularExpression::CaseInsensitiveOption);
    return pattern.match(text).hasMatch();
}

QStringList strings(const json::Json &item, const char *key)
{
    return json::optionalField<QStringList>(item, key).value_or(QStringList{});
}

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// What a cleaned transcript must be: the words in "must" kept, those in
// "drop" gone, a capital first and an end mark ("ends" if given), at least
// "marks" punctuation marks, and no longer than the input by much (a model
// that answers the dictation writes more).
bool cleanupPasses(const json::Json &item, const QString &out)
{
    const QString in = json::optionalField<QString>(item, "in").value_or(QString());
    bool ok = !out.isEmpty() && out.size() <= in.size() * 13 / 10 + 20 && out.front().isUpper() &&
              QStringLiteral(".?!").contains(out.back());
    for (const QString &w : strings(item, "must"))
        ok = ok && hasWord(out, w);
    for (const QString &w : strings(item, "drop"))
        ok = ok && !hasWord(out, w);
    if (const auto ends = json::optionalField<QString>(item, "ends"))
        ok = ok && out.endsWith(*ends);
    static const QRegularExpression mark(QStringLiteral("[.,?!;:]"));
    ok = ok && out.count(mark) >= json::optionalField<int>(item, "marks").value_or(1);
    return ok;
}

struct Tally
{
    int passed = 0;
    int total = 0;
    qint64 ms = 0;
    QString rate() const
    {
        return QStringLiteral("%1/%2 (%3 %)").arg(passed).arg(total).arg(total ? 100 * passed / total : 0);
    }
};

Expected<Generation, GenerationFailure> run(LocalModel &model, std::vector<ChatMessage> messages, int maxTokens)
{
    GenerationRequest request;
    request.messages = std::move(messages);
    request.maxTokens = maxTokens;
    request.timeLimit = Millis(120000);
    return QCoro::waitFor(model.generate(std::move(request)));
}

void show(const char *what, bool ok, const QString &input, const QString &output)
{
    if (verbose)
        std::printf("  [%s %s] %s\n      → %s\n", what, ok ? "pass" : "FAIL", qPrintable(input), qPrintable(output));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    verbose = args.removeAll(QStringLiteral("-v")) > 0;
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: llm_eval [-v] EVAL.json MODEL.gguf [MODEL.gguf …]\n");
        return 2;
    }
    QFile file(args.takeFirst());
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
        return 2;
    }
    const auto eval = json::parse(file.readAll(), json::ParseLimits{64, 10000});
    if (!eval) {
        std::fprintf(stderr, "the evaluation set is not JSON: %s\n", qPrintable(eval.error().message));
        return 2;
    }

    QtScheduler scheduler;
    for (const QString &path : args) {
        LocalModel model(localWorkerPath(), path, scheduler, 2);
        model.warmUp();
        if (!QTest::qWaitFor([&] { return model.isReady(); }, 120000)) {
            std::fprintf(stderr, "%s did not load\n", qPrintable(path));
            continue;
        }
        std::printf("\n%s: loaded in %lld ms\n", qPrintable(QFileInfo(path).fileName()), model.loadMs());

        Tally cleanup, rewrite, ask;
        qint64 promptTokens = 0, generatedTokens = 0, generateMs = 0, promptMs = 0;
        const auto account = [&](const Generation &g) {
            promptTokens += g.promptTokens;
            generatedTokens += g.generatedTokens;
            generateMs += g.elapsedMs - g.promptMs;
            promptMs += g.promptMs;
        };
        // Cleanup three ways: the rules alone, the model alone on the rules'
        // text (what the cleaner's guard judges), and the server's cleaner.
        TranscriptCleaner cleaner(&model, Millis(4000));
        CleanupOptions options;
        options.removeFillerWords = true;
        options.fillerWords = kFillers;
        Tally rules, alone;
        qint64 rulesNs = 0;
        int modelTextUsed = 0;
        QList<double> passedKept, failedKept, passedOwn, failedOwn;
        for (const json::Json &item : (*eval)["cleanup"]) {
            const QString in = json::optionalField<QString>(item, "in").value_or(QString());
            QElapsedTimer timer;
            timer.start();
            const QString byRules = cleanupTranscript(in, options).text;
            rulesNs += timer.nsecsElapsed();
            rules.passed += cleanupPasses(item, byRules);
            ++rules.total;

            timer.restart();
            const QString cleaned = QCoro::waitFor(cleaner.clean(in, options)).text;
            cleanup.ms += timer.elapsed();
            const bool ok = cleanupPasses(item, cleaned);
            cleanup.passed += ok;
            ++cleanup.total;
            modelTextUsed += cleaned != byRules;
            show("cleanup", ok, in, cleaned);

            const auto g = run(model, cleanupMessages(byRules, true), 32 + static_cast<int>(byRules.size() / 2));
            const QString out = g ? tidyModelText(g->text) : QString();
            const bool modelOk = cleanupPasses(item, out);
            alone.passed += modelOk;
            ++alone.total;
            (modelOk ? passedKept : failedKept) << keptWordShare(byRules, out);
            (modelOk ? passedOwn : failedOwn) << keptWordShare(out, byRules);
            if (g)
                account(*g);
        }
        for (const json::Json &item : (*eval)["rewrite"]) {
            const QString in = json::optionalField<QString>(item, "in").value_or(QString());
            const QString style = json::optionalField<QString>(item, "style").value_or(QStringLiteral("natural"));
            const auto prompt = json::optionalField<QString>(item, "prompt");
            const auto g = run(model, rewriteMessages(in, style, prompt),
                               static_cast<int>(std::min<qsizetype>(1024, 64 + in.size() / 2)));
            const QString out = g ? tidyModelText(g->text) : QString();
            bool ok = g && !out.isEmpty() && out.trimmed() != in.trimmed();
            for (const QString &w : strings(item, "must"))
                ok = ok && out.contains(w, Qt::CaseInsensitive);
            if (json::optionalField<bool>(item, "shorter").value_or(false))
                ok = ok && out.size() < in.size();
            if (json::optionalField<bool>(item, "bullets").value_or(false)) {
                for (const QString &line : out.split(u'\n', Qt::SkipEmptyParts))
                    ok = ok && line.trimmed().startsWith(QStringLiteral("• "));
            }
            if (g) {
                account(*g);
                rewrite.ms += g->elapsedMs;
            }
            rewrite.passed += ok;
            ++rewrite.total;
            show(qPrintable(prompt ? QStringLiteral("custom") : style), ok, in, out);
        }
        for (const json::Json &item : (*eval)["ask"]) {
            const QString q = json::optionalField<QString>(item, "q").value_or(QString());
            const auto wanted = json::optionalField<QString>(item, "action");
            std::variant<QString, AskAction> answer;
            if (const auto rule = obviousAskAction(q)) {
                answer = *rule;
            } else {
                const auto g = run(model,
                                   askMessages(q, QStringLiteral("Europe/Berlin"), QStringLiteral("en_US"),
                                               QStringLiteral("7 December 2026")),
                                   160);
                if (g) {
                    account(*g);
                    ask.ms += g->elapsedMs;
                    answer = readAskReply(g->text);
                }
            }
            bool ok = false;
            QString shown;
            if (const auto *action = std::get_if<AskAction>(&answer)) {
                static const char *kinds[] = {"video", "shopping", "map"};
                shown =
                    QStringLiteral("ACTION %1: %2").arg(QString::fromLatin1(kinds[int(action->kind)]), action->query);
                ok = wanted && *wanted == QString::fromLatin1(kinds[int(action->kind)]);
            } else {
                shown = std::get<QString>(answer);
                ok = !wanted && !shown.isEmpty() && shown.size() <= 400;
                bool any = false;
                for (const QString &w : strings(item, "any"))
                    any = any || shown.contains(w, Qt::CaseInsensitive);
                ok = ok && any;
            }
            ask.passed += ok;
            ++ask.total;
            show("ask", ok, q, shown);
        }

        // A 40-word selection rewritten, three times (the median counts).
        const QString forty = QStringLiteral(
            "hey team just a quick note that the quarterly review moved from thursday to friday at ten so please "
            "update your calendars and bring the updated sales figures along with any questions you still have "
            "about the new budget plan for next year");
        QList<qint64> times;
        for (int i = 0; i < 3; ++i) {
            if (const auto g = run(model, rewriteMessages(forty, QStringLiteral("formal"), std::nullopt), 96))
                times << g->elapsedMs;
        }
        std::sort(times.begin(), times.end());
        std::printf("  peak RSS of the worker: %lld MiB\n", rssKiB(model.workerPid()) / 1024);
        std::printf("  prompts: %lld tokens in %lld ms (%.0f tokens/s, a repeated system prompt read once); "
                    "generated: %lld tokens in %lld ms (%.1f tokens/s)\n",
                    promptTokens, promptMs, promptMs ? 1000.0 * static_cast<double>(promptTokens) / promptMs : 0.0,
                    generatedTokens, generateMs,
                    generateMs ? 1000.0 * static_cast<double>(generatedTokens) / generateMs : 0.0);
        std::printf("  40-word formal rewrite: median %lld ms\n", times.value(times.size() / 2));
        std::printf("  cleanup: rules %s in %.2f ms each; model alone %s; cleaner %s, mean %lld ms, the model's "
                    "text used %d times\n",
                    qPrintable(rules.rate()), rules.total ? rulesNs / 1e6 / rules.total : 0.0, qPrintable(alone.rate()),
                    qPrintable(cleanup.rate()), cleanup.total ? cleanup.ms / cleanup.total : 0, modelTextUsed);
        std::printf("  rewrite %s, mean %lld ms; ask %s (model answers, mean %lld ms)\n", qPrintable(rewrite.rate()),
                    rewrite.total ? rewrite.ms / rewrite.total : 0, qPrintable(ask.rate()),
                    ask.total ? ask.ms / ask.total : 0);
        const auto least = [](QList<double> v) { return v.isEmpty() ? 0.0 : *std::min_element(v.begin(), v.end()); };
        const auto median = [](QList<double> v) {
            std::sort(v.begin(), v.end());
            return v.value(v.size() / 2, 0);
        };
        std::printf("  model alone, words kept: passing min %.2f, failing median %.2f; its own words from the "
                    "input: passing min %.2f, failing median %.2f\n",
                    least(passedKept), median(failedKept), least(passedOwn), median(failedOwn));
        std::fflush(stdout);
    }
    return 0;
}
