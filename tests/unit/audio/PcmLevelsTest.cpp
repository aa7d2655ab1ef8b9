#include "audio/Levels.h"
#include "audio/Pcm.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

using namespace dravelin;

namespace {

qint16 sampleAt(const QByteArray &pcm, int i)
{
    return qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
}

PcmBuffer constant(float value, size_t n = 1600)
{
    return PcmBuffer{std::vector<float>(n, value)};
}

PcmBuffer square(float amplitude, size_t n = 1600)
{
    PcmBuffer b;
    for (size_t i = 0; i < n; ++i)
        b.samples.push_back(i % 2 ? amplitude : -amplitude);
    return b;
}

} // namespace

TEST(PcmTest, Pcm16ClampsScalesAndTruncatesTowardZero)
{
    const PcmBuffer in{{1.5f, -1.0f, 0.5f, -0.5f, 0.0f, 1e-5f, -2.0f}};
    const QByteArray out = pcm16(in);
    ASSERT_EQ(out.size(), 14);
    EXPECT_EQ(sampleAt(out, 0), 32767);
    EXPECT_EQ(sampleAt(out, 1), -32767);
    EXPECT_EQ(sampleAt(out, 2), 16383); // 16383.5 truncated
    EXPECT_EQ(sampleAt(out, 3), -16383);
    EXPECT_EQ(sampleAt(out, 4), 0);
    EXPECT_EQ(sampleAt(out, 5), 0);
    EXPECT_EQ(sampleAt(out, 6), -32767);
    EXPECT_TRUE(pcm16(PcmBuffer{}).isEmpty());
}

TEST(PcmTest, WavHeaderIsTheCanonical44Bytes)
{
    const QByteArray pcm(8, '\x01');
    const QByteArray wav = WAVWrapper::wrap(pcm, 16000);
    ASSERT_EQ(wav.size(), 52);
    EXPECT_EQ(wav.left(4), QByteArray("RIFF"));
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 4), 44u);
    EXPECT_EQ(wav.mid(8, 8), QByteArray("WAVEfmt "));
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 16), 16u);
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 20), 1u);
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 22), 1u);
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 24), 16000u);
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 28), 32000u);
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 32), 2u);
    EXPECT_EQ(qFromLittleEndian<quint16>(wav.constData() + 34), 16u);
    EXPECT_EQ(wav.mid(36, 4), QByteArray("data"));
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 40), 8u);
    EXPECT_EQ(wav.mid(44), pcm);
}

TEST(LevelScaleTest, SilenceFullScaleAndMinus40dB)
{
    EXPECT_EQ(MicLevelScale::normalized(constant(0)), 0.0f);
    EXPECT_EQ(MicLevelScale::linear(constant(0)), 0.0f);
    EXPECT_EQ(MicLevelScale::monitor(constant(0).samples.data(), 1600), 0.0f);
    EXPECT_EQ(MicLevelScale::normalized(PcmBuffer{}), 0.0f);

    const PcmBuffer full = square(1.0f);
    EXPECT_FLOAT_EQ(MicLevelScale::normalized(full), 1.0f);
    EXPECT_FLOAT_EQ(MicLevelScale::linear(full), 1.0f);
    EXPECT_FLOAT_EQ(MicLevelScale::monitor(full.samples.data(), full.samples.size()), 1.0f);

    const PcmBuffer quiet = square(0.01f); // RMS 0.01 = -40 dBFS
    EXPECT_NEAR(MicLevelScale::normalized(quiet), 0.2f, 1e-5);
    EXPECT_NEAR(MicLevelScale::monitor(quiet.samples.data(), quiet.samples.size()), 1.0f / 3.0f, 1e-5);
    EXPECT_NEAR(MicLevelScale::linear(quiet), 0.12f, 1e-5);
    EXPECT_EQ(MicLevelScale::normalized(square(0.003f)), 0.0f); // below -50 dBFS
}

TEST(LevelThrottleTest, PublishesAtMostOncePerInterval)
{
    LevelThrottle throttle(1.0 / 30.0);
    int published = 0;
    for (int ms = 0; ms < 1000; ms += 5) // 200 blocks a second
        published += throttle.shouldPublish(ms / 1000.0) ? 1 : 0;
    EXPECT_GE(published, 25);
    EXPECT_LE(published, 30);
}
