#pragma once

// A CTranslate2 model.bin writer and a miniature Whisper model made with it,
// for the converter and installer tests.

#include <QByteArray>
#include <QFloat16>
#include <QtEndian>

#include <cstdint>
#include <utility>
#include <vector>

namespace dravelin::model::miniature {

// Builds a CTranslate2 model.bin (format 6) holding `variables`.
class Ct2Writer
{
public:
    void variable(const QByteArray &name, std::vector<uint32_t> shape, uint8_t dtype, const QByteArray &data)
    {
        m_vars.push_back({name, std::move(shape), dtype, data});
    }
    // Float16 values counting up from `start` by `step`.
    void half(const QByteArray &name, std::vector<uint32_t> shape, float start, float step = 1.0f)
    {
        size_t count = 1;
        for (uint32_t d : shape)
            count *= d;
        QByteArray data;
        for (size_t i = 0; i < count; ++i) {
            const qfloat16 h(start + step * static_cast<float>(i));
            data.append(reinterpret_cast<const char *>(&h), 2);
        }
        variable(name, std::move(shape), 4, data);
    }
    QByteArray bytes() const
    {
        QByteArray out;
        u32(out, 6);
        str(out, "WhisperSpec");
        u32(out, 3);
        u32(out, static_cast<uint32_t>(m_vars.size()));
        for (const auto &v : m_vars) {
            str(out, v.name);
            out.append(static_cast<char>(v.shape.size()));
            for (uint32_t d : v.shape)
                u32(out, d);
            out.append(static_cast<char>(v.dtype));
            u32(out, static_cast<uint32_t>(v.data.size()));
            out += v.data;
        }
        u32(out, 0);
        return out;
    }

private:
    static void u32(QByteArray &out, uint32_t v)
    {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    }
    static void str(QByteArray &out, const QByteArray &s)
    {
        char b[2];
        qToLittleEndian(static_cast<uint16_t>(s.size() + 1), b);
        out.append(b, 2);
        out += s;
        out.append('\0');
    }
    struct Var
    {
        QByteArray name;
        std::vector<uint32_t> shape;
        uint8_t dtype;
        QByteArray data;
    };
    std::vector<Var> m_vars;
};

// A two-layer-free miniature: state 8, 80 mels, one encoder and one decoder layer.
inline QByteArray miniatureModel()
{
    Ct2Writer w;
    const uint32_t s = 8;
    QByteArray heads(2, '\0');
    heads[0] = 2;
    w.variable("encoder/num_heads", {}, 2, heads);
    w.variable("decoder/num_heads", {}, 2, heads);
    w.half("encoder/conv1/weight", {s, 80, 3}, 0, 0.001f);
    w.half("encoder/conv1/bias", {s}, 1);
    w.half("encoder/conv2/weight", {s, s, 3}, 0, 0.01f);
    w.half("encoder/conv2/bias", {s}, 2);
    w.half("encoder/position_encodings/encodings", {12, s}, 0, 0.01f);
    w.half("decoder/position_encodings/encodings", {6, s}, 0, 0.01f);
    w.half("decoder/embeddings/weight", {10, s}, 0, 0.01f);
    for (const char *prefix : {"encoder/layer_0", "decoder/layer_0"}) {
        const QByteArray p(prefix);
        w.half(QByteArray(p + "/self_attention/linear_0/weight"), {3 * s, s}, 0);
        w.half(QByteArray(p + "/self_attention/linear_0/bias"), {3 * s}, 100);
        w.half(QByteArray(p + "/self_attention/linear_1/weight"), {s, s}, 0, 0.5f);
        w.half(QByteArray(p + "/self_attention/linear_1/bias"), {s}, 0);
        w.half(QByteArray(p + "/self_attention/layer_norm/gamma"), {s}, 1);
        w.half(QByteArray(p + "/self_attention/layer_norm/beta"), {s}, 0);
        w.half(QByteArray(p + "/ffn/linear_0/weight"), {4 * s, s}, 0, 0.01f);
        w.half(QByteArray(p + "/ffn/linear_0/bias"), {4 * s}, 0);
        w.half(QByteArray(p + "/ffn/linear_1/weight"), {s, 4 * s}, 0, 0.01f);
        w.half(QByteArray(p + "/ffn/linear_1/bias"), {s}, 0);
        w.half(QByteArray(p + "/ffn/layer_norm/gamma"), {s}, 1);
        w.half(QByteArray(p + "/ffn/layer_norm/beta"), {s}, 0);
    }
    w.half("decoder/layer_0/attention/linear_0/weight", {s, s}, 0);
    w.half("decoder/layer_0/attention/linear_0/bias", {s}, 0);
    w.half("decoder/layer_0/attention/linear_1/weight", {2 * s, s}, 0);
    w.half("decoder/layer_0/attention/linear_1/bias", {2 * s}, 200);
    w.half("decoder/layer_0/attention/linear_2/weight", {s, s}, 0);
    w.half("decoder/layer_0/attention/linear_2/bias", {s}, 0);
    w.half("decoder/layer_0/attention/layer_norm/gamma", {s}, 1);
    w.half("decoder/layer_0/attention/layer_norm/beta", {s}, 0);
    w.half("encoder/layer_norm/gamma", {s}, 1);
    w.half("encoder/layer_norm/beta", {s}, 0);
    w.half("decoder/layer_norm/gamma", {s}, 1);
    w.half("decoder/layer_norm/beta", {s}, 0);
    return w.bytes();
}

} // namespace dravelin::model::miniature
