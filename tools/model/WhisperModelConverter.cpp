#include "WhisperModelConverter.h"

#include <QtEndian>

#ifdef DRAVELIN_HAVE_GGML
#include <ggml.h>
#endif

#include <cmath>
#include <cstring>

namespace dravelin::model {

namespace {

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    template <typename T>
    T number()
    {
        if (m_pos + static_cast<qsizetype>(sizeof(T)) > m_bytes.size()) {
            m_ok = false;
            return T{};
        }
        const T value = qFromLittleEndian<T>(m_bytes.constData() + m_pos);
        m_pos += sizeof(T);
        return value;
    }
    QByteArray bytes(qsizetype n)
    {
        if (n < 0 || m_pos + n > m_bytes.size()) {
            m_ok = false;
            return {};
        }
        const QByteArray out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return out;
    }
    QString string()
    {
        const auto n = number<uint16_t>();
        QByteArray raw = bytes(n);
        while (raw.endsWith('\0'))
            raw.chop(1);
        return QString::fromUtf8(raw);
    }

private:
    const QByteArray &m_bytes;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

float halfToFloat(uint16_t h)
{
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    uint32_t exponent = (h >> 10) & 0x1fu;
    uint32_t mantissa = h & 0x3ffu;
    uint32_t bits = 0;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else { // subnormal: normalise
            exponent = 127 - 15 + 1;
            while (!(mantissa & 0x400u)) {
                mantissa <<= 1;
                --exponent;
            }
            mantissa &= 0x3ffu;
            bits = sign | (exponent << 23) | (mantissa << 13);
        }
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void put32(QByteArray &out, int32_t value)
{
    char b[4];
    qToLittleEndian(value, b);
    out.append(b, 4);
}

void putFloat(QByteArray &out, float value)
{
    char b[4];
    qToLittleEndian(value, b);
    out.append(b, 4);
}

// The byte ↔ printable-character table of GPT-2's byte-level BPE.
std::map<char32_t, uint8_t> byteDecoder()
{
    std::vector<int> bs;
    for (int b = '!'; b <= '~'; ++b)
        bs.push_back(b);
    for (int b = 0xa1; b <= 0xac; ++b)
        bs.push_back(b);
    for (int b = 0xae; b <= 0xff; ++b)
        bs.push_back(b);
    std::vector<int> cs = bs;
    int n = 0;
    for (int b = 0; b < 256; ++b) {
        if (std::find(bs.begin(), bs.end(), b) == bs.end()) {
            bs.push_back(b);
            cs.push_back(256 + n++);
        }
    }
    std::map<char32_t, uint8_t> decoder;
    for (size_t i = 0; i < bs.size(); ++i)
        decoder[static_cast<char32_t>(cs[i])] = static_cast<uint8_t>(bs[i]);
    return decoder;
}

struct Tensor
{
    QString name;
    std::vector<uint32_t> shape; // outermost first, as stored
    std::vector<float> values;
    bool half = true;
};

} // namespace

std::vector<float> Ct2Variable::toFloat() const
{
    size_t count = 1;
    for (uint32_t d : shape)
        count *= d;
    std::vector<float> out;
    if (dtype == 0 && static_cast<size_t>(data.size()) == count * 4) {
        out.resize(count);
        for (size_t i = 0; i < count; ++i)
            out[i] = qFromLittleEndian<float>(data.constData() + i * 4);
    } else if (dtype == 4 && static_cast<size_t>(data.size()) == count * 2) {
        out.resize(count);
        for (size_t i = 0; i < count; ++i)
            out[i] = halfToFloat(qFromLittleEndian<uint16_t>(data.constData() + i * 2));
    }
    return out;
}

const Ct2Variable *Ct2Model::find(const QString &name) const
{
    auto it = variables.find(name);
    if (it == variables.end()) {
        const auto alias = aliases.find(name);
        if (alias == aliases.end())
            return nullptr;
        it = variables.find(alias->second);
        if (it == variables.end())
            return nullptr;
    }
    return &it->second;
}

Expected<Ct2Model, QString> readCt2Model(const QByteArray &bytes)
{
    Reader in(bytes);
    const auto version = in.number<uint32_t>();
    if (!in.ok() || version < 5 || version > 6)
        return Unexpected(QStringLiteral("not a CTranslate2 model (format version %1)").arg(version));
    Ct2Model model;
    model.specName = in.string();
    in.number<uint32_t>(); // the model layout's revision number
    const auto count = in.number<uint32_t>();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        const QString name = in.string();
        Ct2Variable variable;
        const uint8_t rank = in.number<uint8_t>();
        for (uint8_t r = 0; r < rank; ++r)
            variable.shape.push_back(in.number<uint32_t>());
        variable.dtype = in.number<uint8_t>();
        const auto size = in.number<uint32_t>();
        variable.data = in.bytes(size);
        model.variables[name] = std::move(variable);
    }
    const auto aliases = in.number<uint32_t>();
    for (uint32_t i = 0; i < aliases && in.ok(); ++i) {
        const QString alias = in.string();
        model.aliases[alias] = in.string();
    }
    if (!in.ok())
        return Unexpected(QStringLiteral("the model file is truncated"));
    return model;
}

std::vector<float> melFilters(int nMels)
{
    constexpr int kRate = 16000;
    constexpr int kFft = 400;
    constexpr int kBins = kFft / 2 + 1;
    const double fSp = 200.0 / 3.0;
    const double minLogHz = 1000.0;
    const double minLogMel = minLogHz / fSp;
    const double logStep = std::log(6.4) / 27.0;
    const auto hzToMel = [&](double hz) {
        return hz >= minLogHz ? minLogMel + std::log(hz / minLogHz) / logStep : hz / fSp;
    };
    const auto melToHz = [&](double mel) {
        return mel >= minLogMel ? minLogHz * std::exp(logStep * (mel - minLogMel)) : fSp * mel;
    };
    std::vector<double> melF(static_cast<size_t>(nMels) + 2);
    const double top = hzToMel(kRate / 2.0);
    for (size_t i = 0; i < melF.size(); ++i)
        melF[i] = melToHz(top * static_cast<double>(i) / static_cast<double>(nMels + 1));
    std::vector<float> filters(static_cast<size_t>(nMels) * kBins);
    for (int m = 0; m < nMels; ++m) {
        const double enorm = 2.0 / (melF[m + 2] - melF[m]);
        for (int k = 0; k < kBins; ++k) {
            const double freq = static_cast<double>(kRate) / 2.0 * k / (kBins - 1);
            const double lower = (freq - melF[m]) / (melF[m + 1] - melF[m]);
            const double upper = (melF[m + 2] - freq) / (melF[m + 2] - melF[m + 1]);
            filters[static_cast<size_t>(m) * kBins + k] =
                static_cast<float>(std::max(0.0, std::min(lower, upper)) * enorm);
        }
    }
    return filters;
}

QByteArray tokenBytes(const QString &token)
{
    static const auto decoder = byteDecoder();
    QByteArray out;
    for (const char32_t c : token.toUcs4()) {
        const auto it = decoder.find(c);
        if (it == decoder.end())
            out += QString::fromUcs4(&c, 1).toUtf8(); // not byte-level: keep as UTF-8
        else
            out += static_cast<char>(it->second);
    }
    return out;
}

std::optional<WeightFormat> weightFormat(const QString &name)
{
    if (name == u"f16")
        return WeightFormat::f16;
    if (name == u"q8_0")
        return WeightFormat::q8_0;
    if (name == u"q5_1")
        return WeightFormat::q5_1;
    return std::nullopt;
}

bool canQuantize()
{
#ifdef DRAVELIN_HAVE_GGML
    return true;
#else
    return false;
#endif
}

namespace {

#ifdef DRAVELIN_HAVE_GGML
ggml_type ggmlType(WeightFormat format)
{
    return format == WeightFormat::q8_0 ? GGML_TYPE_Q8_0 : GGML_TYPE_Q5_1;
}
#endif

// ggml's model-wide file type: mostly this format, and which quantization
// version wrote it.
int32_t fileType(WeightFormat format)
{
    switch (format) {
    case WeightFormat::f16:
        return 1;
    case WeightFormat::q8_0:
        return 7 + 2 * 1000; // GGML_FTYPE_MOSTLY_Q8_0, GGML_QNT_VERSION 2
    case WeightFormat::q5_1:
        return 9 + 2 * 1000; // GGML_FTYPE_MOSTLY_Q5_1
    }
    return 1;
}

} // namespace

Expected<QByteArray, QString> convertToGgml(const Ct2Model &model, const QStringList &vocabulary, ConvertStats *stats,
                                            WeightFormat format, const std::function<void(int, int)> &progress)
{
    if (format != WeightFormat::f16 && !canQuantize())
        return Unexpected(QStringLiteral("this build of dravelin-model cannot quantize (it was built without ggml)"));
    const auto need = [&](const QString &name) -> Expected<const Ct2Variable *, QString> {
        const Ct2Variable *v = model.find(name);
        if (!v)
            return Unexpected(QStringLiteral("the model has no %1").arg(name));
        return v;
    };
    const auto headsOf = [&](const char *name) -> int {
        const Ct2Variable *v = model.find(QString::fromLatin1(name));
        if (!v || v->data.size() < 2)
            return 0;
        return v->dtype == 3 ? qFromLittleEndian<int32_t>(v->data.constData())
                             : qFromLittleEndian<int16_t>(v->data.constData());
    };
    const auto conv1 = need(QStringLiteral("encoder/conv1/weight"));
    const auto encPos = need(QStringLiteral("encoder/position_encodings/encodings"));
    const auto decPos = need(QStringLiteral("decoder/position_encodings/encodings"));
    const auto embed = need(QStringLiteral("decoder/embeddings/weight"));
    for (const auto *check : {&conv1, &encPos, &decPos, &embed}) {
        if (!*check)
            return Unexpected(check->error());
    }
    const int nMels = static_cast<int>((*conv1)->shape.at(1));
    const int state = static_cast<int>((*conv1)->shape.at(0));
    const int audioCtx = static_cast<int>((*encPos)->shape.at(0));
    const int textCtx = static_cast<int>((*decPos)->shape.at(0));
    const int nVocab = static_cast<int>((*embed)->shape.at(0));
    int encLayers = 0, decLayers = 0;
    while (model.find(QStringLiteral("encoder/layer_%1/self_attention/linear_0/weight").arg(encLayers)))
        ++encLayers;
    while (model.find(QStringLiteral("decoder/layer_%1/self_attention/linear_0/weight").arg(decLayers)))
        ++decLayers;
    const int encHeads = headsOf("encoder/num_heads") > 0 ? headsOf("encoder/num_heads") : state / 64;
    const int decHeads = headsOf("decoder/num_heads") > 0 ? headsOf("decoder/num_heads") : state / 64;

    std::vector<Tensor> tensors;
    QString failure;
    // A whole variable, or rows [first, first+rows) of its outermost dimension.
    const auto add = [&](const QString &ggmlName, const QString &ct2Name, bool half, int part = -1, int parts = 1) {
        const Ct2Variable *v = model.find(ct2Name);
        if (!v) {
            failure = QStringLiteral("the model has no %1").arg(ct2Name);
            return;
        }
        std::vector<float> values = v->toFloat();
        std::vector<uint32_t> shape = v->shape;
        if (part >= 0) {
            const size_t rows = shape.at(0) / static_cast<uint32_t>(parts);
            const size_t stride = values.size() / shape.at(0);
            values = std::vector<float>(values.begin() + static_cast<std::ptrdiff_t>(rows * stride * part),
                                        values.begin() + static_cast<std::ptrdiff_t>(rows * stride * (part + 1)));
            shape[0] = static_cast<uint32_t>(rows);
        }
        tensors.push_back({ggmlName, shape, std::move(values), half && shape.size() >= 2});
    };
    const auto attention = [&](const QString &to, const QString &from) {
        add(to + QStringLiteral(".query.weight"), from + QStringLiteral("/linear_0/weight"), true, 0, 3);
        add(to + QStringLiteral(".query.bias"), from + QStringLiteral("/linear_0/bias"), false, 0, 3);
        add(to + QStringLiteral(".key.weight"), from + QStringLiteral("/linear_0/weight"), true, 1, 3);
        add(to + QStringLiteral(".value.weight"), from + QStringLiteral("/linear_0/weight"), true, 2, 3);
        add(to + QStringLiteral(".value.bias"), from + QStringLiteral("/linear_0/bias"), false, 2, 3);
        add(to + QStringLiteral(".out.weight"), from + QStringLiteral("/linear_1/weight"), true);
        add(to + QStringLiteral(".out.bias"), from + QStringLiteral("/linear_1/bias"), false);
    };
    const auto block = [&](const QString &to, const QString &from) {
        add(to + QStringLiteral(".attn_ln.weight"), from + QStringLiteral("/self_attention/layer_norm/gamma"), false);
        add(to + QStringLiteral(".attn_ln.bias"), from + QStringLiteral("/self_attention/layer_norm/beta"), false);
        add(to + QStringLiteral(".mlp_ln.weight"), from + QStringLiteral("/ffn/layer_norm/gamma"), false);
        add(to + QStringLiteral(".mlp_ln.bias"), from + QStringLiteral("/ffn/layer_norm/beta"), false);
        add(to + QStringLiteral(".mlp.0.weight"), from + QStringLiteral("/ffn/linear_0/weight"), true);
        add(to + QStringLiteral(".mlp.0.bias"), from + QStringLiteral("/ffn/linear_0/bias"), false);
        add(to + QStringLiteral(".mlp.2.weight"), from + QStringLiteral("/ffn/linear_1/weight"), true);
        add(to + QStringLiteral(".mlp.2.bias"), from + QStringLiteral("/ffn/linear_1/bias"), false);
    };

    add(QStringLiteral("encoder.positional_embedding"), QStringLiteral("encoder/position_encodings/encodings"), false);
    add(QStringLiteral("encoder.conv1.weight"), QStringLiteral("encoder/conv1/weight"), true);
    add(QStringLiteral("encoder.conv1.bias"), QStringLiteral("encoder/conv1/bias"), false);
    add(QStringLiteral("encoder.conv2.weight"), QStringLiteral("encoder/conv2/weight"), true);
    add(QStringLiteral("encoder.conv2.bias"), QStringLiteral("encoder/conv2/bias"), false);
    for (int i = 0; i < encLayers; ++i) {
        const QString to = QStringLiteral("encoder.blocks.%1").arg(i);
        const QString from = QStringLiteral("encoder/layer_%1").arg(i);
        block(to, from);
        attention(to + QStringLiteral(".attn"), from + QStringLiteral("/self_attention"));
    }
    add(QStringLiteral("encoder.ln_post.weight"), QStringLiteral("encoder/layer_norm/gamma"), false);
    add(QStringLiteral("encoder.ln_post.bias"), QStringLiteral("encoder/layer_norm/beta"), false);
    add(QStringLiteral("decoder.positional_embedding"), QStringLiteral("decoder/position_encodings/encodings"), false);
    add(QStringLiteral("decoder.token_embedding.weight"), QStringLiteral("decoder/embeddings/weight"), true);
    for (int i = 0; i < decLayers; ++i) {
        const QString to = QStringLiteral("decoder.blocks.%1").arg(i);
        const QString from = QStringLiteral("decoder/layer_%1").arg(i);
        block(to, from);
        attention(to + QStringLiteral(".attn"), from + QStringLiteral("/self_attention"));
        // Cross-attention: the query alone, key and value fused.
        const QString cross = from + QStringLiteral("/attention");
        const QString x = to + QStringLiteral(".cross_attn");
        add(x + QStringLiteral(".query.weight"), cross + QStringLiteral("/linear_0/weight"), true);
        add(x + QStringLiteral(".query.bias"), cross + QStringLiteral("/linear_0/bias"), false);
        add(x + QStringLiteral(".key.weight"), cross + QStringLiteral("/linear_1/weight"), true, 0, 2);
        add(x + QStringLiteral(".value.weight"), cross + QStringLiteral("/linear_1/weight"), true, 1, 2);
        add(x + QStringLiteral(".value.bias"), cross + QStringLiteral("/linear_1/bias"), false, 1, 2);
        add(x + QStringLiteral(".out.weight"), cross + QStringLiteral("/linear_2/weight"), true);
        add(x + QStringLiteral(".out.bias"), cross + QStringLiteral("/linear_2/bias"), false);
        add(to + QStringLiteral(".cross_attn_ln.weight"), cross + QStringLiteral("/layer_norm/gamma"), false);
        add(to + QStringLiteral(".cross_attn_ln.bias"), cross + QStringLiteral("/layer_norm/beta"), false);
    }
    add(QStringLiteral("decoder.ln.weight"), QStringLiteral("decoder/layer_norm/gamma"), false);
    add(QStringLiteral("decoder.ln.bias"), QStringLiteral("decoder/layer_norm/beta"), false);
    if (!failure.isEmpty())
        return Unexpected(failure);

    QByteArray out;
    put32(out, 0x67676d6c); // "ggml"
    for (int v : {nVocab, audioCtx, state, encHeads, encLayers, textCtx, state, decHeads, decLayers, nMels,
                  static_cast<int>(fileType(format))})
        put32(out, v);
    const std::vector<float> filters = melFilters(nMels);
    put32(out, nMels);
    put32(out, 201);
    for (float f : filters)
        putFloat(out, f);
    // The ordinary tokens; whisper.cpp adds the special ones itself.
    int ordinary = 0;
    while (ordinary < vocabulary.size() && vocabulary[ordinary] != u"<|endoftext|>")
        ++ordinary;
    put32(out, ordinary);
    for (int i = 0; i < ordinary; ++i) {
        const QByteArray bytes = tokenBytes(vocabulary[i]);
        put32(out, static_cast<int32_t>(bytes.size()));
        out += bytes;
    }
    int written = 0;
    for (const Tensor &t : tensors) {
        std::vector<uint32_t> shape = t.shape;
        if (t.name == u"encoder.conv1.bias" || t.name == u"encoder.conv2.bias")
            shape.push_back(1); // [n_state, 1], as whisper.cpp adds it to the convolution output
        // The matrices whisper.cpp keeps in the model's weight type; rows of
        // a whole number of 32-value blocks.
        const bool quantize = format != WeightFormat::f16 && t.half && t.shape.size() == 2 && t.shape.back() % 32 == 0;
        const QByteArray name = t.name.toUtf8();
        put32(out, static_cast<int32_t>(shape.size()));
        put32(out, static_cast<int32_t>(name.size()));
#ifdef DRAVELIN_HAVE_GGML
        put32(out, quantize ? static_cast<int32_t>(ggmlType(format)) : (t.half ? 1 : 0));
#else
        put32(out, t.half ? 1 : 0);
#endif
        for (auto it = shape.rbegin(); it != shape.rend(); ++it)
            put32(out, static_cast<int32_t>(*it));
        out += name;
        if (quantize) {
#ifdef DRAVELIN_HAVE_GGML
            const auto rowLength = static_cast<int64_t>(t.shape.back());
            const auto rows = static_cast<int64_t>(t.shape.front());
            QByteArray packed(static_cast<qsizetype>(ggml_row_size(ggmlType(format), rowLength) * rows), '\0');
            ggml_quantize_chunk(ggmlType(format), t.values.data(), packed.data(), 0, rows, rowLength, nullptr);
            out += packed;
#endif
        } else if (t.half) {
            for (float f : t.values) {
                const qfloat16 h(f);
                char b[2];
                std::memcpy(b, &h, 2);
                out.append(b, 2);
            }
        } else {
            for (float f : t.values)
                putFloat(out, f);
        }
        if (progress)
            progress(++written, static_cast<int>(tensors.size()));
    }
    if (stats)
        *stats = ConvertStats{static_cast<int>(tensors.size()), nMels, encLayers, ordinary};
    return out;
}

} // namespace dravelin::model
