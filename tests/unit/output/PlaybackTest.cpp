#include "audio/Pcm.h"
#include "core/VirtualScheduler.h"
#include "output/AudioPlaybackController.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;

namespace {

class PlaybackTest : public ::testing::Test
{
protected:
    QString recording(const char *name)
    {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(WAVWrapper::wrap(pcm16(std::vector<float>(1600, 0.1f).data(), 1600), 16000));
        return path;
    }

    QTemporaryDir dir;
    VirtualScheduler scheduler;
    FakeOutput output;
    AudioPlaybackController playback{output, scheduler, immediateQueues()};

    // Starts (or pauses) an entry; loading finishes on the next main-loop turn.
    void toggle(const QUuid &id, const QString &path)
    {
        playback.toggle(id, path);
        scheduler.runPending();
    }
    test::LogCapture logs;
    const QUuid a = QUuid::createUuid();
    const QUuid b = QUuid::createUuid();
};

TEST_F(PlaybackTest, OneEntryAtATimeWithPauseAndResume)
{
    const QString fileA = recording("a.wav");
    toggle(a, fileA);
    ASSERT_EQ(playback.activeID(), a);
    EXPECT_EQ(output.lengths.front(), 1600u);
    toggle(a, fileA);
    EXPECT_FALSE(playback.isPlaying());
    EXPECT_EQ(playback.activeID(), a);
    toggle(a, fileA);
    EXPECT_TRUE(playback.isPlaying());
    EXPECT_EQ(output.loaded.size(), 1u); // resumed, not reloaded

    // Another entry replaces it; a stop while it loads leaves nothing playing.
    playback.toggle(b, recording("b.wav"));
    EXPECT_TRUE(playback.isLoading());
    const int stopsBefore = output.stops; // a's player, replaced
    playback.stop();
    scheduler.runPending();
    EXPECT_FALSE(playback.activeID());
    EXPECT_EQ(output.stops, stopsBefore + 1); // the player that finished loading after the stop
    toggle(b, recording("b.wav"));
    EXPECT_EQ(playback.activeID(), b);
    EXPECT_TRUE(playback.isPlaying());

    // Trimming other entries keeps it; losing its own entry stops it.
    playback.stopUnlessAmong({a, b});
    EXPECT_EQ(playback.activeID(), b);
    playback.stopUnlessAmong({a});
    EXPECT_FALSE(playback.activeID());
    EXPECT_FALSE(playback.isPlaying());
}

TEST_F(PlaybackTest, FailuresLeaveItStopped)
{
    toggle(a, dir.filePath(QStringLiteral("deleted.m4a")));
    EXPECT_FALSE(playback.activeID());
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("audio-playback"), QStringLiteral("Can't open recording deleted.m4a: ")));

    output.refuseNext = true;
    toggle(a, recording("a.wav"));
    EXPECT_FALSE(playback.activeID());
    EXPECT_TRUE(logs.has(QStringLiteral("audio-playback"), QStringLiteral("Playback refused to start for a.wav")));

    // The end of a replaced player is ignored; the current one's end stops.
    output.refuseNext = false;
    toggle(a, recording("a.wav"));
    FakePlayback *first = output.loaded.back();
    auto firstEnd = first->onFinished;
    toggle(b, recording("b.wav"));
    firstEnd(true);
    scheduler.runPending();
    EXPECT_EQ(playback.activeID(), b);
    output.loaded.back()->onError(QStringLiteral("broken stream"));
    output.loaded.back()->onFinished(false);
    scheduler.runPending();
    EXPECT_FALSE(playback.activeID());
    EXPECT_TRUE(logs.has(QStringLiteral("audio-playback"), QStringLiteral("Playback decode error: broken stream")));
}

} // namespace
