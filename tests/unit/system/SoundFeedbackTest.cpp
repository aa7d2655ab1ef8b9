#include "system/SoundFeedback.h"
#include "core/UserDefaults.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

TEST(SoundFeedbackTest, EachCuePlaysItsOwnThemeSound)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    test::RecordingSoundPlayer player;
    SoundFeedback sounds(defaults, player);
    EXPECT_TRUE(sounds.enabled()); // registered default
    for (auto cue :
         {SoundFeedback::Cue::start, SoundFeedback::Cue::stop, SoundFeedback::Cue::discard, SoundFeedback::Cue::error})
        sounds.play(cue);
    EXPECT_EQ(player.played.size(), 4);
    EXPECT_EQ(QSet<QString>(player.played.begin(), player.played.end()).size(), 4);
}

TEST(SoundFeedbackTest, DisabledSoundsAreSilentAndLogNothing)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    test::RecordingSoundPlayer player;
    player.missing.insert(SoundFeedback::soundName(SoundFeedback::Cue::error));
    SoundFeedback sounds(defaults, player);
    QSignalSpy spy(&sounds, &SoundFeedback::enabledChanged);
    test::LogCapture logs;
    defaults.set(QStringLiteral("sounds.enabled"), false);
    EXPECT_EQ(spy.count(), 1);
    sounds.play(SoundFeedback::Cue::error);
    EXPECT_TRUE(player.played.isEmpty());
    EXPECT_TRUE(logs.records().empty());
}

TEST(SoundFeedbackTest, AMissingSoundIsLoggedNotRaised)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    test::RecordingSoundPlayer player;
    player.missing.insert(QStringLiteral("dialog-error"));
    SoundFeedback sounds(defaults, player);
    test::LogCapture logs;
    sounds.play(SoundFeedback::Cue::error);
    EXPECT_TRUE(logs.has(QStringLiteral("sounds"),
                         QStringLiteral("Sound 'dialog-error' not found in /usr/share/sounds"), logs::Level::error));
}
