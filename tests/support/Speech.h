#pragma once

// Speech for tests and benchmarks: espeak-ng (US English) into a WAV file.

#include "audio/AACFileWriter.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

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

} // namespace dravelin::test
