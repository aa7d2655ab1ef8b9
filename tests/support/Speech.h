#pragma once

// Speech for tests and benchmarks: espeak-ng (US English) into a WAV file,
// and noise mixed into it at a chosen signal-to-noise ratio.

#include "audio/AACFileWriter.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cmath>
#include <random>
#include <vector>

namespace dravelin::test {

// The WAV bytes of `text` spoken at `wordsPerMinute`, written to `path`;
// empty when espeak-ng is missing or fails.
inline QByteArray synthesizeSpeech(const QString &path, const QString &text, int wordsPerMinute = 140)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), QStringLiteral("en-us"), QStringLiteral("-s"),
                                               QString::number(wordsPerMinute), QStringLiteral("-w"), path, text});
    if (!espeak.waitForFinished(60000) || espeak.exitCode() != 0)
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The held-out sentences the speech engines are scored on.
inline const QStringList &heldOutSentences()
{
    static const QStringList sentences{
        QStringLiteral("Please schedule the meeting for Thursday afternoon."),
        QStringLiteral("The invoice should be paid by the end of the month."),
        QStringLiteral("Remind me to call my sister when I get home."),
        QStringLiteral("We need three more chairs for the conference room."),
        QStringLiteral("The weather forecast says it will rain tomorrow morning."),
        QStringLiteral("Send the draft to the editor before lunch."),
        QStringLiteral("Our new office opens next week on the second floor."),
        QStringLiteral("Can you check whether the train leaves at seven?"),
    };
    return sentences;
}

// `text` spoken by the espeak-ng voice `voice`, as 16 kHz mono samples
// (through a WAV file at `path`); empty when espeak-ng fails.
inline std::vector<float> speakSamples(const QString &path, const QString &text, const QString &voice, int wpm = 150)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), voice, QStringLiteral("-s"), QString::number(wpm),
                                               QStringLiteral("-w"), path, text});
    if (!espeak.waitForFinished(60000) || espeak.exitCode() != 0)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    auto samples = decodeAudio(file.readAll());
    return samples ? std::move(*samples) : std::vector<float>{};
}

// A real person speaking: an 11 s public-domain recording of a 1961 address,
// with what is said in it. Empty samples when scripts/setup-whisper has not
// unpacked it.
struct HumanSpeech
{
    std::vector<float> samples;
    QString text;
};

inline HumanSpeech humanSpeech()
{
    HumanSpeech speech;
    speech.text = QStringLiteral(
        "And so my fellow Americans, ask not what your country can do for you, ask what you can do for your country.");
#ifdef DRAVELIN_HUMAN_SPEECH
    QFile file(QStringLiteral(DRAVELIN_HUMAN_SPEECH));
    if (file.open(QIODevice::ReadOnly)) {
        if (auto samples = decodeAudio(file.readAll()))
            speech.samples = std::move(*samples);
    }
#endif
    return speech;
}

// A planning call of about 490 words (three and a half minutes spoken): the
// long-form set, a recording far longer than one decoding window.
inline QString longFormText()
{
#ifdef DRAVELIN_LONG_FORM_TEXT
    QFile file(QStringLiteral(DRAVELIN_LONG_FORM_TEXT));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).simplified() : QString();
#else
    return {};
#endif
}

enum class Noise {
    White,  // a steady hiss, equal power at every frequency
    Babble, // four other voices talking at once, as in an open office
};

// Four espeak-ng talkers reading sentences unlike the held-out ones, each as
// one long stream; made once per process. Empty when espeak-ng fails.
inline const std::vector<std::vector<float>> &babbleTalkers()
{
    static const std::vector<std::vector<float>> talkers = [] {
        const QStringList lines{
            QStringLiteral("I think the printer on this floor is out of paper again."),
            QStringLiteral("Did anybody see where I left the keys to the storage room?"),
            QStringLiteral("The quarterly numbers look better than we expected."),
            QStringLiteral("Let's grab a coffee after the stand-up and talk it through."),
            QStringLiteral("She said the delivery would arrive sometime before noon."),
            QStringLiteral("We could move the workshop to the larger room downstairs."),
        };
        const QStringList voices{QStringLiteral("en-gb"), QStringLiteral("en-us+f3"), QStringLiteral("en-gb-scotland"),
                                 QStringLiteral("en-us-nyc")};
        QTemporaryDir dir;
        std::vector<std::vector<float>> streams;
        for (qsizetype t = 0; t < voices.size(); ++t) {
            std::vector<float> stream;
            for (qsizetype i = 0; i < lines.size(); ++i) {
                const auto said =
                    speakSamples(dir.filePath(QStringLiteral("babble.wav")), lines[(i + t) % lines.size()], voices[t],
                                 160 + 10 * static_cast<int>(t));
                if (said.empty())
                    return std::vector<std::vector<float>>{};
                stream.insert(stream.end(), said.begin(), said.end());
            }
            streams.push_back(std::move(stream));
        }
        return streams;
    }();
    return talkers;
}

// `samples` with noise of `kind` added so that the speech's mean power (over
// the whole clip) is `snrDb` decibels above the noise's. The same seed gives
// the same noise, so measurements repeat. Empty when babble cannot be made.
inline std::vector<float> mixNoise(const std::vector<float> &samples, double snrDb, Noise kind, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    std::vector<float> noise(samples.size(), 0.0f);
    if (kind == Noise::White) {
        std::normal_distribution<float> hiss(0.0f, 1.0f);
        for (float &s : noise)
            s = hiss(rng);
    } else {
        const auto &talkers = babbleTalkers();
        if (talkers.empty())
            return {};
        for (const auto &talker : talkers) {
            // Each talker joins at its own point of its stream.
            size_t at = std::uniform_int_distribution<size_t>(0, talker.size() - 1)(rng);
            for (float &s : noise) {
                s += talker[at];
                at = (at + 1) % talker.size();
            }
        }
    }
    auto power = [](const std::vector<float> &v) {
        double sum = 0;
        for (float s : v)
            sum += static_cast<double>(s) * s;
        return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
    };
    const double noisePower = power(noise);
    if (noisePower <= 0)
        return samples;
    const double gain = std::sqrt(power(samples) / std::pow(10.0, snrDb / 10.0) / noisePower);
    std::vector<float> mixed(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        mixed[i] = samples[i] + static_cast<float>(gain * noise[i]);
    return mixed;
}

} // namespace dravelin::test
