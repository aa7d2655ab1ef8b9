#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace dravelin::model {

// One variable of a CTranslate2 model file.
struct Ct2Variable
{
    std::vector<uint32_t> shape;
    uint8_t dtype = 0; // 0 float32, 1 int8, 2 int16, 3 int32, 4 float16
    QByteArray data;

    // As float32, whatever the stored type; empty for integer types.
    std::vector<float> toFloat() const;
};

struct Ct2Model
{
    QString specName;
    std::map<QString, Ct2Variable> variables;
    std::map<QString, QString> aliases;

    const Ct2Variable *find(const QString &name) const;
};

// Reads model.bin (format version 6).
Expected<Ct2Model, QString> readCt2Model(const QByteArray &bytes);

// Whisper's 80 (or 128) mel filters for 16 kHz, n_fft 400 (Slaney scale and
// normalisation), row-major [n_mels][201].
std::vector<float> melFilters(int nMels);

// GPT-2 byte-level token text ("Ġthe") back to its bytes (" the").
QByteArray tokenBytes(const QString &token);

struct ConvertStats
{
    int tensors = 0;
    int nMels = 0;
    int layers = 0;
    int vocab = 0;
};

// How the weight matrices are stored: half precision as converted, or
// quantized with ggml's 8-bit or 5-bit block formats (smaller, and faster on
// a CPU that is short of memory bandwidth). Vectors, convolutions and the
// positional embeddings stay as they are.
enum class WeightFormat {
    f16,
    q8_0,
    q5_1,
};
std::optional<WeightFormat> weightFormat(const QString &name);
// Whether this build can quantize (it links ggml).
bool canQuantize();

// Writes the ggml Whisper model file whisper.cpp loads, from a CTranslate2
// Whisper model and its vocabulary (one token per line). `progress` hears
// of each tensor written (done, total).
Expected<QByteArray, QString> convertToGgml(const Ct2Model &model, const QStringList &vocabulary,
                                            ConvertStats *stats = nullptr, WeightFormat format = WeightFormat::f16,
                                            const std::function<void(int done, int total)> &progress = {});

} // namespace dravelin::model
