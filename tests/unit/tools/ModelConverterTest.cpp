#include "Ct2Miniature.h"
#include "WhisperModelConverter.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace dravelin::model;
using namespace dravelin::model::miniature;

namespace {

struct GgmlTensor
{
    std::vector<int32_t> dims; // ggml order (innermost first)
    int ftype = 0;
    std::vector<float> values;
};

// Reads back what convertToGgml wrote.
struct GgmlFile
{
    std::vector<int32_t> header;
    std::vector<QByteArray> tokens;
    std::map<QString, GgmlTensor> tensors;

    explicit GgmlFile(const QByteArray &bytes)
    {
        qsizetype pos = 0;
        auto i32 = [&] {
            const int32_t v = qFromLittleEndian<int32_t>(bytes.constData() + pos);
            pos += 4;
            return v;
        };
        for (int i = 0; i < 12; ++i)
            header.push_back(i32());
        const int rows = i32(), cols = i32();
        pos += static_cast<qsizetype>(rows) * cols * 4;
        const int count = i32();
        for (int i = 0; i < count; ++i) {
            const int n = i32();
            tokens.push_back(bytes.mid(pos, n));
            pos += n;
        }
        while (pos < bytes.size()) {
            const int nDims = i32(), nameLength = i32();
            GgmlTensor t;
            t.ftype = i32();
            size_t elements = 1;
            for (int d = 0; d < nDims; ++d) {
                t.dims.push_back(i32());
                elements *= static_cast<size_t>(t.dims.back());
            }
            const QString name = QString::fromUtf8(bytes.mid(pos, nameLength));
            pos += nameLength;
            if (t.ftype == 8) { // q8_0: blocks of 32 values in 34 bytes, not read back
                pos += static_cast<qsizetype>(elements / 32 * 34);
                tensors[name] = std::move(t);
                continue;
            }
            for (size_t e = 0; e < elements; ++e) {
                if (t.ftype == 1) {
                    qfloat16 h;
                    std::memcpy(&h, bytes.constData() + pos, 2);
                    t.values.push_back(static_cast<float>(h));
                    pos += 2;
                } else {
                    t.values.push_back(qFromLittleEndian<float>(bytes.constData() + pos));
                    pos += 4;
                }
            }
            tensors[name] = std::move(t);
        }
    }
};

TEST(ModelConverterTest, SplitsFusedProjectionsAndKeepsWhisperCppNamesAndShapes)
{
    const auto model = readCt2Model(miniatureModel());
    ASSERT_TRUE(model) << qPrintable(model.error());
    ConvertStats stats;
    const QStringList vocabulary{QStringLiteral("!"), QStringLiteral("Ġthe"), QStringLiteral("Ã©"),
                                 QStringLiteral("<|endoftext|>"), QStringLiteral("<|startoftranscript|>")};
    const auto ggml = convertToGgml(*model, vocabulary, &stats);
    ASSERT_TRUE(ggml) << qPrintable(ggml.error());
    const GgmlFile file(*ggml);

    // magic, n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
    // n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels, f16
    EXPECT_EQ(file.header, (std::vector<int32_t>{0x67676d6c, 10, 12, 8, 2, 1, 6, 8, 2, 1, 80, 1}));
    // Ordinary tokens only, as bytes.
    ASSERT_EQ(file.tokens.size(), 3u);
    EXPECT_EQ(file.tokens[1], QByteArray(" the"));
    EXPECT_EQ(file.tokens[2], QByteArray("\xc3\xa9")); // "é" in UTF-8

    EXPECT_EQ(stats.tensors, 15 * 2 + 9 + 11); // 15 per block, 9 more for cross-attention, 11 others
    EXPECT_EQ(file.tensors.size(), static_cast<size_t>(stats.tensors));
    // Fused QKV [24, 8] → query/key/value [8, 8]: ggml lists dims innermost first.
    const auto &query = file.tensors.at(QStringLiteral("encoder.blocks.0.attn.query.weight"));
    const auto &key = file.tensors.at(QStringLiteral("encoder.blocks.0.attn.key.weight"));
    const auto &value = file.tensors.at(QStringLiteral("encoder.blocks.0.attn.value.weight"));
    EXPECT_EQ(query.dims, (std::vector<int32_t>{8, 8}));
    EXPECT_EQ(query.ftype, 1);
    EXPECT_EQ(query.values.front(), 0.0f);
    EXPECT_EQ(key.values.front(), 64.0f);
    EXPECT_EQ(value.values.front(), 128.0f);
    EXPECT_EQ(file.tensors.count(QStringLiteral("encoder.blocks.0.attn.key.bias")), 0u); // Whisper's key has no bias
    EXPECT_EQ(file.tensors.at(QStringLiteral("encoder.blocks.0.attn.value.bias")).values.front(), 116.0f);
    // Cross attention: key and value from the fused [16, 8], biases kept for the value only.
    EXPECT_EQ(file.tensors.at(QStringLiteral("decoder.blocks.0.cross_attn.value.weight")).values.front(), 64.0f);
    EXPECT_EQ(file.tensors.at(QStringLiteral("decoder.blocks.0.cross_attn.value.bias")).values.front(), 208.0f);
    // Biases, norms and positional embeddings are float32; conv biases gain a dimension.
    const auto &conv1Bias = file.tensors.at(QStringLiteral("encoder.conv1.bias"));
    EXPECT_EQ(conv1Bias.dims, (std::vector<int32_t>{1, 8}));
    EXPECT_EQ(conv1Bias.ftype, 0);
    EXPECT_EQ(file.tensors.at(QStringLiteral("encoder.conv1.weight")).dims, (std::vector<int32_t>{3, 80, 8}));
    EXPECT_EQ(file.tensors.at(QStringLiteral("decoder.positional_embedding")).ftype, 0);
    EXPECT_EQ(file.tensors.at(QStringLiteral("decoder.token_embedding.weight")).dims, (std::vector<int32_t>{8, 10}));
    EXPECT_TRUE(file.tensors.count(QStringLiteral("encoder.ln_post.weight")));
    EXPECT_TRUE(file.tensors.count(QStringLiteral("decoder.ln.bias")));
}

TEST(ModelConverterTest, MelFiltersAndBadInput)
{
    const std::vector<float> filters = melFilters(80);
    ASSERT_EQ(filters.size(), 80u * 201u);
    // Slaney-normalised triangles: non-negative, each band has some weight,
    // and the first band starts at 0 Hz.
    for (int m = 0; m < 80; ++m) {
        float peak = 0;
        for (int k = 0; k < 201; ++k) {
            EXPECT_GE(filters[m * 201 + k], 0.0f);
            peak = std::max(peak, filters[m * 201 + k]);
        }
        EXPECT_GT(peak, 0.0f) << m;
    }
    EXPECT_EQ(filters[0], 0.0f);
    EXPECT_GT(filters[1], 0.0f);

    EXPECT_FALSE(readCt2Model(QByteArray("nonsense")));
    QByteArray truncated = miniatureModel();
    truncated.chop(100);
    EXPECT_FALSE(readCt2Model(truncated));
    Ct2Writer empty;
    const auto model = readCt2Model(empty.bytes());
    ASSERT_TRUE(model);
    EXPECT_FALSE(convertToGgml(*model, {}));
}

} // namespace

// Quantizing marks the file's weight type and packs the matrices whose rows
// are whole 32-value blocks; the others stay in half precision, vectors in
// single.
TEST(ModelConverterTest, QuantizesOnlyWholeBlockRows)
{
    const auto model = readCt2Model(miniatureModel());
    ASSERT_TRUE(model);
    const QStringList vocabulary{QStringLiteral("!"), QStringLiteral("<|endoftext|>")};
    if (!canQuantize()) {
        EXPECT_FALSE(convertToGgml(*model, vocabulary, nullptr, WeightFormat::q8_0));
        return;
    }
    const auto ggml = convertToGgml(*model, vocabulary, nullptr, WeightFormat::q8_0);
    ASSERT_TRUE(ggml) << qPrintable(ggml.error());
    const GgmlFile file(*ggml);
    EXPECT_EQ(file.header.back(), 2007); // mostly q8_0, quantization version 2
    EXPECT_EQ(file.tensors.at(QStringLiteral("encoder.blocks.0.attn.query.weight")).ftype, 1); // rows of 8
    EXPECT_EQ(file.tensors.at(QStringLiteral("encoder.blocks.0.mlp.2.weight")).ftype, 8);      // rows of 32
    EXPECT_EQ(file.tensors.at(QStringLiteral("encoder.blocks.0.mlp.0.bias")).ftype, 0);
    EXPECT_EQ(weightFormat(QStringLiteral("q5_1")), WeightFormat::q5_1);
    EXPECT_EQ(weightFormat(QStringLiteral("q4")), std::nullopt);
}
