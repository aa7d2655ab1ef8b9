#include "pipeline/DictationRoad.h"

#include <gtest/gtest.h>

using namespace dravelin;

TEST(DictationRoad, FirstFittingRoadWins)
{
    struct Case
    {
        std::optional<QString> liveText, liveRaw, onDevice;
        std::optional<int> audioBytes;
        DictationRoad road;
    };
    const std::vector<Case> cases{
        {QStringLiteral("final"), QStringLiteral("raw"), QStringLiteral("local"), 5000, DictationRoad::liveText},
        {QStringLiteral(""), QStringLiteral("raw"), QStringLiteral("local"), 5000, DictationRoad::liveRaw},
        {std::nullopt, QStringLiteral(""), QStringLiteral("local"), 5000, DictationRoad::onDevice},
        {std::nullopt, std::nullopt, QStringLiteral(""), 200, DictationRoad::cloud},
        {std::nullopt, std::nullopt, std::nullopt, 199, DictationRoad::tooShort},
        {std::nullopt, std::nullopt, std::nullopt, 0, DictationRoad::empty},
        {QStringLiteral(""), std::nullopt, QStringLiteral(""), std::nullopt, DictationRoad::empty},
    };
    for (const Case &c : cases) {
        DictationCapture capture;
        capture.liveText = c.liveText;
        capture.onDeviceText = c.onDevice;
        if (c.audioBytes)
            capture.audio = QByteArray(*c.audioBytes, 'a');
        EXPECT_EQ(chooseRoad(capture, c.liveRaw), c.road) << qPrintable(toString(c.road));
    }
}
