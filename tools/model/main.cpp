// dravelin-model: turns a CTranslate2 Whisper model (model.bin, vocabulary.txt)
// into the ggml model file whisper.cpp loads, optionally with its weight
// matrices quantized.
//
//   dravelin-model [--weights f16|q8_0|q5_1] CT2_MODEL_DIR OUTPUT.bin

#include "WhisperModelConverter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    dravelin::model::WeightFormat format = dravelin::model::WeightFormat::f16;
    if (args.size() == 5 && args[1] == u"--weights") {
        const auto chosen = dravelin::model::weightFormat(args[2]);
        if (!chosen) {
            std::fprintf(stderr, "unknown weight format %s (f16, q8_0 or q5_1)\n", qPrintable(args[2]));
            return 2;
        }
        format = *chosen;
        args.remove(1, 2);
    }
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: dravelin-model [--weights f16|q8_0|q5_1] CT2_MODEL_DIR OUTPUT.bin\n");
        return 2;
    }
    const QDir dir(args[1]);
    QFile modelFile(dir.filePath(QStringLiteral("model.bin")));
    QFile vocabFile(dir.filePath(QStringLiteral("vocabulary.txt")));
    if (!modelFile.open(QIODevice::ReadOnly) || !vocabFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s needs model.bin and vocabulary.txt\n", qPrintable(args[1]));
        return 1;
    }
    const auto model = dravelin::model::readCt2Model(modelFile.readAll());
    if (!model) {
        std::fprintf(stderr, "%s\n", qPrintable(model.error()));
        return 1;
    }
    QStringList vocabulary = QString::fromUtf8(vocabFile.readAll()).split(u'\n');
    while (!vocabulary.isEmpty() && vocabulary.back().isEmpty())
        vocabulary.removeLast();
    dravelin::model::ConvertStats stats;
    const auto ggml = dravelin::model::convertToGgml(*model, vocabulary, &stats, format);
    if (!ggml) {
        std::fprintf(stderr, "%s\n", qPrintable(ggml.error()));
        return 1;
    }
    QSaveFile out(args[2]);
    if (!out.open(QIODevice::WriteOnly) || out.write(*ggml) != ggml->size() || !out.commit()) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(args[2]), qPrintable(out.errorString()));
        return 1;
    }
    std::printf("%s: %d tensors, %d mels, %d layers, %d tokens, %lld bytes\n", qPrintable(args[2]), stats.tensors,
                stats.nMels, stats.layers, stats.vocab, static_cast<long long>(ggml->size()));
    return 0;
}
