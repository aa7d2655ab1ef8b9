#include "system/SoundFeedback.h"
#include "core/UserDefaults.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

class SoundFeedbackTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(QStringLiteral("s.json"))};
    test::RecordingSoundPlayer player;
    test::LogCapture logs;
};

} // namespace

TEST_F(SoundFeedbackTest, EachCuePlaysItsOwnThemeSoundAndAMissingOneIsLoggedNotRaised)
{
    player.missing.insert(QStringLiteral("dialog-error"));
    SoundFeedback sounds(defaults, player);
    EXPECT_TRUE(sounds.enabled()); // registered default
    for (auto cue :
         {SoundFeedback::Cue::start, SoundFeedback::Cue::stop, SoundFeedback::Cue::discard, SoundFeedback::Cue::error})
        sounds.play(cue);
    EXPECT_EQ(player.played.size(), 4);
    EXPECT_EQ(QSet<QString>(player.played.begin(), player.played.end()).size(), 4);
    EXPECT_TRUE(logs.has(QStringLiteral("sounds"),
                         QStringLiteral("Sound 'dialog-error' not found in /usr/share/sounds"), logs::Level::error));
}

TEST_F(SoundFeedbackTest, DisabledSoundsAreSilentAndLogNothing)
{
    player.missing.insert(SoundFeedback::soundName(SoundFeedback::Cue::error));
    SoundFeedback sounds(defaults, player);
    QSignalSpy spy(&sounds, &SoundFeedback::enabledChanged);
    defaults.set(QStringLiteral("sounds.enabled"), false);
    EXPECT_EQ(spy.count(), 1);
    sounds.play(SoundFeedback::Cue::error);
    EXPECT_TRUE(player.played.isEmpty());
    EXPECT_TRUE(logs.records().empty());
}
