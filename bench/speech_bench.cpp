// Speech engines side by side: word error rate on the held-out sentences of
// the accuracy test (espeak-ng, two voices), real-time factor for 5 s and
// 30 s of speech, and peak memory.
//
//   speech_bench

#include "audio/AACFileWriter.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/Speech.h"
#include "support/WordErrorRate.h"
#ifdef DRAVELIN_HAVE_WHISPER
#include "platform/linux/WhisperRecognizer.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <future>

using namespace dravelin;

namespace {

const QStringList &kSentences = test::heldOutSentences();

std::vector<float> speak(const QString &path, const QString &text, const QString &voice, int wpm)
{
    return test::speakSamples(path, text, voice, wpm);
}

// One utterance through a recogniser's session, as the server runs it.
QString recognise(SpeechRecognizer &recognizer, const std::vector<float> &samples)
{
    std::promise<QString> done;
    auto future = done.get_future();
    bool delivered = false;
    auto session = recognizer.startSession([&](SpeechResult r) {
        if (r.isFinal && !delivered) {
            delivered = true;
            done.set_value(r.text);
        }
    });
    std::vector<float> padded(4800, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.insert(padded.end(), 4800, 0.0f);
    session->append(padded.data(), padded.size());
    session->endAudio();
    const QString text = future.get();
    session.reset();
    return text;
}

long peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void run(SpeechRecognizer &recognizer, QTemporaryDir &dir)
{
    if (!recognizer.isAvailable()) {
        std::printf("%s: not available\n", qPrintable(recognizer.engineName()));
        return;
    }
    int errors = 0, words = 0;
    for (const QString &voice : {QStringLiteral("en-us"), QStringLiteral("en-gb-x-rp")}) {
        for (const QString &sentence : kSentences) {
            const auto audio = speak(dir.filePath(QStringLiteral("s.wav")), sentence, voice, 150);
            errors += test::wordErrors(sentence, recognise(recognizer, audio));
            words += test::wordCount(sentence);
        }
    }
    std::printf("%s: WER %.1f%% (%d errors in %d words)\n", qPrintable(recognizer.engineName()), 100.0 * errors / words,
                errors, words);
    for (int seconds : {5, 30}) {
        QString text;
        for (const QString &s : kSentences)
            text += s + u' ';
        auto audio = speak(dir.filePath(QStringLiteral("l.wav")), text, QStringLiteral("en-us"), 150);
        audio.resize(std::min<size_t>(audio.size(), static_cast<size_t>(seconds) * 16000));
        QElapsedTimer timer;
        timer.start();
        recognise(recognizer, audio);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        std::printf("  %2d s of speech: %.0f ms (RTF %.2f)\n", seconds, ms, ms / (seconds * 1000.0));
    }
    std::printf("  peak RSS so far: %ld MiB\n", peakMiB());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    std::printf("baseline RSS: %ld MiB\n", peakMiB());
#ifdef DRAVELIN_HAVE_WHISPER
    {
        nix::WhisperRecognizer whisper;
        run(whisper, dir);
    }
#endif
    nix::PocketSphinxRecognizer sphinx;
    run(sphinx, dir);
    return 0;
}
