#pragma once

// Speech for tests and benchmarks: espeak-ng (US English) into a WAV file.

#include <QFile>
#include <QProcess>
#include <QString>

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

} // namespace dravelin::test
