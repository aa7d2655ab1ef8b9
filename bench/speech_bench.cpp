// Speech engines side by side: word error rate on the held-out sentences of
// the accuracy test (espeak-ng, two voices) and on a recording of a person,
// real-time factor for 5 s and 30 s of speech, the time from the end of the
// audio to the final text when the audio streams in at speaking pace, and
// peak memory.
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
QString recognise(SpeechRecognizer &recognizer, const std::vector<float> &samples)
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
        {});
    std::vector<float> padded(4800, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.insert(padded.end(), 4800, 0.0f);
    session->append(padded.data(), padded.size());
    session->endAudio();
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
Streamed stream(SpeechRecognizer &recognizer, const std::vector<float> &samples)
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
        {});
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
    const test::HumanSpeech human = test::humanSpeech();
    if (!human.samples.empty()) {
        const int humanErrors = test::wordErrors(human.text, recognise(recognizer, human.samples));
        std::printf("  human speech (11 s recording): WER %.1f%% (%d errors in %d words)\n",
                    100.0 * humanErrors / test::wordCount(human.text), humanErrors, test::wordCount(human.text));
    }
    // Every sentence once, slowly: about 30 s. The first 5 s of it make the
    // short case (no word count there: it ends mid-sentence).
    const QString all = kSentences.join(u' ');
    const auto speech = speak(dir.filePath(QStringLiteral("l.wav")), all, QStringLiteral("en-us"), 125);
    const std::vector<float> first5(speech.begin(), speech.begin() + std::min<size_t>(speech.size(), 5 * 16000));
    for (const auto *audio : {&first5, &speech}) {
        const double seconds = static_cast<double>(audio->size()) / 16000;
        const bool whole = audio == &speech;
        QElapsedTimer timer;
        timer.start();
        const QString text = recognise(recognizer, *audio);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        std::printf("  %4.1f s of speech at once: %.0f ms (RTF %.2f)", seconds, ms, ms / (seconds * 1000.0));
        if (whole)
            std::printf(", WER %.1f%%", 100.0 * test::wordErrors(all, text) / test::wordCount(all));
        const Streamed streamed = stream(recognizer, *audio);
        std::printf("\n  %4.1f s streamed at speaking pace: final text %.0f ms after the audio ended (%d partials)",
                    seconds, streamed.finalMs, streamed.partials);
        if (whole)
            std::printf(", WER %.1f%%", 100.0 * test::wordErrors(all, streamed.text) / test::wordCount(all));
        std::printf("\n");
    }
    {
        // Cancelled while decoding the long utterance: how long cancel waits.
        auto session = recognizer.startSession([](SpeechResult) {}, {});
        session->append(speech.data(), speech.size());
        session->endAudio();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        QElapsedTimer timer;
        timer.start();
        session->cancel();
        std::printf("  cancel during a decode returns in %.0f ms\n", static_cast<double>(timer.nsecsElapsed()) / 1e6);
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
