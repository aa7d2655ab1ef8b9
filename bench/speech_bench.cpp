// Speech engines side by side, one model at a time: how long the model takes
// to load; word error rate on the held-out sentences of the accuracy test
// (espeak-ng, two voices) clean and with white noise and babble mixed in at
// 20 dB and 10 dB SNR, and on a recording of a person; real-time factor for
// 5 s and 30 s of speech; the time from the end of the audio to the final
// text when the audio streams in at speaking pace; and peak memory.
//
//   speech_bench [--threads N] [--language CODE] [--verbose] [--accuracy] [MODEL...]
//
// MODEL is a Whisper model name or file as WhisperRecognizer::modelPath
// takes it ("tiny.en", "base"), or "pocketsphinx"; the default is tiny.en,
// then pocketsphinx. Each model is measured in a fresh child process, so its
// peak RSS is its own. --threads sets Whisper's decoding threads (every
// core up to eight, as in the app), --language the language hint ("auto", the app's default, or "en"),
// --verbose prints each misheard sentence of the held-out set, --accuracy
// measures the word error rates and nothing else.

#include "audio/AACFileWriter.h"
#include "platform/NoiseSuppression.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/Speech.h"
#include "support/WordErrorRate.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

using namespace dravelin;

namespace {

const QStringList &kSentences = test::heldOutSentences();

std::vector<float> speak(const QString &path, const QString &text, const QString &voice, int wpm)
{
    return test::speakSamples(path, text, voice, wpm);
}

// One utterance through a recogniser's session, as the server runs it.
QString recognise(SpeechRecognizer &recognizer, const std::vector<float> &samples, const RecognitionHints &hints)
{
    std::promise<QString> done;
    auto future = done.get_future();
    bool delivered = false;
    auto session = recognizer.startSession(
        [&](SpeechResult r) {
            if (r.isFinal && !delivered) {
                delivered = true;
                done.set_value(r.text);
            }
        },
        hints);
    std::vector<float> padded(4800, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.insert(padded.end(), 4800, 0.0f);
    session->appendLast(padded.data(), padded.size());
    const QString text = future.get();
    session.reset();
    return text;
}

struct Streamed
{
    double finalMs = 0; // from the end of the audio to the final text
    int partials = 0;
    QString text;
};

// One utterance fed in 100 ms blocks at speaking pace, as a microphone does.
Streamed stream(SpeechRecognizer &recognizer, const std::vector<float> &samples, const RecognitionHints &hints)
{
    std::promise<QString> done;
    auto future = done.get_future();
    std::atomic<int> partials = 0;
    bool delivered = false;
    auto session = recognizer.startSession(
        [&](SpeechResult r) {
            if (!r.isFinal)
                ++partials;
            else if (!delivered) {
                delivered = true;
                done.set_value(r.text);
            }
        },
        hints);
    constexpr size_t kBlock = 1600;
    const auto start = std::chrono::steady_clock::now();
    for (size_t offset = 0; offset < samples.size(); offset += kBlock) {
        session->append(samples.data() + offset, std::min(kBlock, samples.size() - offset));
        std::this_thread::sleep_until(start + std::chrono::milliseconds((offset + kBlock) / 16));
    }
    QElapsedTimer timer;
    timer.start();
    session->endAudio();
    QString text = future.get();
    Streamed result{static_cast<double>(timer.nsecsElapsed()) / 1e6, partials.load(), text};
    session.reset();
    return result;
}

long peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

double msSince(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

struct Utterance
{
    QString text;
    std::vector<float> samples;
};

// The held-out set with noise mixed in (none for a negative SNR), each
// utterance with its own repeatable noise.
struct Condition
{
    const char *label;
    test::Noise noise;
    double snrDb;
};

constexpr Condition kConditions[] = {
    {"clean", test::Noise::White, -1},
    {"white noise 20 dB", test::Noise::White, 20},
    {"white noise 10 dB", test::Noise::White, 10},
    {"babble 20 dB", test::Noise::Babble, 20},
    {"babble 10 dB", test::Noise::Babble, 10},
};

QString percent(int errors, int words)
{
    return QString::number(100.0 * errors / std::max(words, 1), 'f', 1) + QStringLiteral(" %");
}

// Measures one recogniser and ends with its row of the summary table
// (a line starting "| ").
void run(const QString &name, SpeechRecognizer &recognizer, const RecognitionHints &hints, QTemporaryDir &dir,
         bool verbose, bool accuracyOnly)
{
    std::printf("== %s, %s; RSS before loading: %ld MiB\n", qPrintable(name), qPrintable(recognizer.engineName()),
                peakMiB());
    QElapsedTimer loadTimer;
    loadTimer.start();
    if (!recognizer.isAvailable()) {
        std::printf("%s: not available\n| %s | not available |\n", qPrintable(recognizer.engineName()),
                    qPrintable(name));
        return;
    }
    const double loadMs = msSince(loadTimer);
    std::printf("  model load (first isAvailable(), file in the page cache): %.0f ms\n", loadMs);
    QStringList row{name, QString::number(loadMs, 'f', 0) + QStringLiteral(" ms")};

    std::vector<Utterance> heldOut;
    for (const QString &voice : {QStringLiteral("en-us"), QStringLiteral("en-gb-x-rp")}) {
        for (const QString &sentence : kSentences)
            heldOut.push_back({sentence, speak(dir.filePath(QStringLiteral("s.wav")), sentence, voice, 150)});
    }
    for (const Condition &condition : kConditions) {
        int errors = 0, words = 0;
        QElapsedTimer timer;
        timer.start();
        for (size_t i = 0; i < heldOut.size(); ++i) {
            const Utterance &u = heldOut[i];
            const std::vector<float> audio =
                condition.snrDb < 0
                    ? u.samples
                    : test::mixNoise(u.samples, condition.snrDb, condition.noise, static_cast<unsigned>(i + 1));
            if (audio.empty()) {
                std::printf("  %s: the noise could not be made (espeak-ng)\n", condition.label);
                return;
            }
            const QString heard = recognise(recognizer, audio, hints);
            const int e = test::wordErrors(u.text, heard);
            if (verbose && e > 0)
                std::printf("    %s\n      → %s\n", qPrintable(u.text), qPrintable(heard));
            errors += e;
            words += test::wordCount(u.text);
        }
        std::printf("  held-out set, %s: WER %s (%d errors in %d words, %.1f s)\n", condition.label,
                    qPrintable(percent(errors, words)), errors, words, msSince(timer) / 1000);
        row << percent(errors, words);
    }

    const test::HumanSpeech human = test::humanSpeech();
    if (!human.samples.empty()) {
        const int humanErrors = test::wordErrors(human.text, recognise(recognizer, human.samples, hints));
        std::printf("  recorded person (11 s): WER %s (%d errors in %d words)\n",
                    qPrintable(percent(humanErrors, test::wordCount(human.text))), humanErrors,
                    test::wordCount(human.text));
        row << percent(humanErrors, test::wordCount(human.text));
    } else {
        std::printf("  recorded person: no recording (run scripts/setup-whisper)\n");
        row << QStringLiteral("—");
    }
    {
        // What turning steady noise down costs before a decode.
        const std::vector<float> hiss = test::mixNoise(std::vector<float>(30 * 16000, 0.1f), 10, test::Noise::White, 1);
        QElapsedTimer timer;
        timer.start();
        const bool steady = judgeBackground(hiss).worthSuppressing;
        const std::vector<float> quieter = suppressNoise(hiss);
        std::printf("  judging and suppressing steady noise in 30 s: %.1f ms (%s)\n", msSince(timer),
                    steady && quieter.size() == hiss.size() ? "judged steady" : "not judged steady");
    }
    if (accuracyOnly) {
        std::printf("| %s |\n", qPrintable(row.join(QStringLiteral(" | "))));
        return;
    }

    // Every sentence once, slowly: about 30 s. The first 5 s of it make the
    // short case (no word count there: it ends mid-sentence).
    const QString all = kSentences.join(u' ');
    const auto speech = speak(dir.filePath(QStringLiteral("l.wav")), all, QStringLiteral("en-us"), 125);
    const std::vector<float> first5(speech.begin(), speech.begin() + std::min<size_t>(speech.size(), 5 * 16000));
    QStringList rtf, latency;
    for (const auto *audio : {&first5, &speech}) {
        const double seconds = static_cast<double>(audio->size()) / 16000;
        const bool whole = audio == &speech;
        QElapsedTimer timer;
        timer.start();
        const QString text = recognise(recognizer, *audio, hints);
        const double ms = msSince(timer);
        std::printf("  %4.1f s of speech at once: %.0f ms (RTF %.3f, %.0f× real time)", seconds, ms,
                    ms / (seconds * 1000.0), seconds * 1000.0 / ms);
        rtf << QStringLiteral("%1 (%2×)").arg(ms / (seconds * 1000.0), 0, 'f', 3).arg(seconds * 1000.0 / ms, 0, 'f', 0);
        if (whole)
            std::printf(", WER %.1f%%", 100.0 * test::wordErrors(all, text) / test::wordCount(all));
        const Streamed streamed = stream(recognizer, *audio, hints);
        std::printf("\n  %4.1f s streamed at speaking pace: final text %.0f ms after the audio ended (%d partials)",
                    seconds, streamed.finalMs, streamed.partials);
        latency << QString::number(streamed.finalMs, 'f', 0) + QStringLiteral(" ms");
        if (whole)
            std::printf(", WER %.1f%%", 100.0 * test::wordErrors(all, streamed.text) / test::wordCount(all));
        std::printf("\n");
    }
    {
        // The long-form set: a three-and-a-half-minute call decoded at once,
        // as an upload is.
        const QString call = test::longFormText();
        const auto minutes = speak(dir.filePath(QStringLiteral("c.wav")), call, QStringLiteral("en-us"), 150);
        const double seconds = static_cast<double>(minutes.size()) / 16000;
        QElapsedTimer timer;
        timer.start();
        const QString text = recognise(recognizer, minutes, hints);
        const double ms = msSince(timer);
        const double wer = 100.0 * test::wordErrors(call, text) / test::wordCount(call);
        std::printf("  %.0f s call at once: %.0f ms (RTF %.3f), WER %.1f%%\n", seconds, ms, ms / (seconds * 1000.0),
                    wer);
        if (verbose)
            std::printf("    → %s\n", qPrintable(text));
        rtf << QStringLiteral("%1 s: RTF %2, WER %3 %")
                   .arg(seconds, 0, 'f', 0)
                   .arg(ms / (seconds * 1000.0), 0, 'f', 3)
                   .arg(wer, 0, 'f', 1);
    }
    row << rtf << latency.join(QStringLiteral(" / "));
    {
        // Cancelled while decoding the long utterance: how long cancel waits.
        auto session = recognizer.startSession([](SpeechResult) {}, hints);
        session->append(speech.data(), speech.size());
        session->endAudio();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        QElapsedTimer timer;
        timer.start();
        session->cancel();
        std::printf("  cancel during a decode returns in %.0f ms\n", msSince(timer));
    }
    std::printf("  peak RSS of this process: %ld MiB\n", peakMiB());
    row << QString::number(peakMiB()) + QStringLiteral(" MiB");
    std::printf("| %s |\n", qPrintable(row.join(QStringLiteral(" | "))));
}

// Measures one model in this process.
int measure(const QString &name, int threads, const QString &language, bool verbose, bool accuracyOnly)
{
    setvbuf(stdout, nullptr, _IOLBF, 0); // lines reach the parent as they are printed
    QTemporaryDir dir;
    const RecognitionHints hints({}, language);
    if (name == QLatin1String("pocketsphinx")) {
        nix::PocketSphinxRecognizer sphinx;
        run(name, sphinx, hints, dir, verbose, accuracyOnly);
        return 0;
    }
#ifdef DRAVELIN_HAVE_WHISPER
    nix::WhisperRecognizer whisper(nix::WhisperRecognizer::modelPath(name), threads);
    run(name + QStringLiteral(" (%1 threads, language %2)").arg(threads).arg(language), whisper, hints, dir, verbose,
        accuracyOnly);
    return 0;
#else
    Q_UNUSED(threads);
    std::printf("| %s | not built with whisper.cpp |\n", qPrintable(name));
    return 1;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QStringList args = app.arguments().mid(1);
#ifdef DRAVELIN_HAVE_WHISPER
    int threads = nix::WhisperRecognizer::defaultThreads();
#else
    int threads = 2;
#endif
    QString language = QStringLiteral("auto");
    bool verbose = false;
    bool accuracyOnly = false;
    QString only; // set in the child that measures one model
    QStringList models;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--threads") && hasValue)
            threads = std::max(1, args[++i].toInt());
        else if (arg == QLatin1String("--language") && hasValue)
            language = args[++i];
        else if (arg == QLatin1String("--only") && hasValue)
            only = args[++i];
        else if (arg == QLatin1String("--verbose"))
            verbose = true;
        else if (arg == QLatin1String("--accuracy"))
            accuracyOnly = true;
        else if (arg.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr,
                         "usage: speech_bench [--threads N] [--language CODE] [--verbose] [--accuracy] [MODEL...]\n");
            return 2;
        } else
            models << arg;
    }
    if (!only.isEmpty())
        return measure(only, threads, language, verbose, accuracyOnly);
    if (models.isEmpty())
        models = {QStringLiteral("tiny.en"), QStringLiteral("pocketsphinx")};

    QStringList rows;
    for (const QString &model : models) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList childArgs{QStringLiteral("--threads"),  QString::number(threads),
                              QStringLiteral("--language"), language,
                              QStringLiteral("--only"),     model};
        if (verbose)
            childArgs << QStringLiteral("--verbose");
        if (accuracyOnly)
            childArgs << QStringLiteral("--accuracy");
        child.start(QCoreApplication::applicationFilePath(), childArgs);
        if (!child.waitForStarted()) {
            std::printf("%s: could not start the measuring process\n", qPrintable(model));
            continue;
        }
        QByteArray pending;
        auto forward = [&] {
            pending += child.readAllStandardOutput();
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QByteArray line = pending.left(end + 1);
                pending.remove(0, end + 1);
                if (line.startsWith("| "))
                    rows << QString::fromUtf8(line.trimmed());
                else
                    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
            }
            std::fflush(stdout);
        };
        while (child.state() != QProcess::NotRunning) {
            child.waitForReadyRead(1000);
            forward();
        }
        forward();
    }
    std::printf("\n| model | load | WER clean | white 20 dB | white 10 dB | babble 20 dB | babble 10 dB | person | "
                "RTF 5 s | RTF 30 s | 3 min call at once | streamed final 5 s / 30 s | peak RSS |\n|%s\n",
                qPrintable(QStringLiteral("---|").repeated(13)));
    for (const QString &row : rows)
        std::printf("%s\n", qPrintable(row));
    return 0;
}
