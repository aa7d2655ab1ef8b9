#include "audio/MicTestRecording.h"
#include "core/UserDefaults.h"
#include "support/AudioFakes.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

class MicTestRecordingTest : public ::testing::Test
{
protected:
    MicTestRecordingTest()
        : defaults(dir.filePath(QStringLiteral("s.json")))
        , test(backend, speakers, scheduler, defaults, queues.factory())
    {}
    ~MicTestRecordingTest() override { queues.pump(scheduler); }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeAudioBackend backend;
    FakeOutput speakers;
    ManualQueues queues;
    MicTestRecording test;
};

} // namespace

TEST_F(MicTestRecordingTest, KeepsAtMostTheLengthAskedForAndPlaysItBack)
{
    auto recording = test.record(1000ms);
    queues.pump(scheduler);
    ASSERT_EQ(test.state(), MicTestRecording::State::recording);
    backend.feedTone(1.5); // more than asked for: the rest is not kept
    queues.pump(scheduler);
    scheduler.advance(1000ms);
    queues.pump(scheduler);
    ASSERT_EQ(test.state(), MicTestRecording::State::recorded);
    EXPECT_EQ(test.recordedLength(), 1000ms);
    EXPECT_GT(test.peakLevel(), 0.5f); // a tone is not silence

    auto playing = test.play();
    queues.pump(scheduler);
    ASSERT_EQ(speakers.lengths, std::vector<size_t>{16000});
    EXPECT_EQ(test.state(), MicTestRecording::State::playing);
    speakers.loaded.back()->onFinished(true);
    queues.pump(scheduler);
    EXPECT_EQ(test.state(), MicTestRecording::State::recorded);

    // Stopping early keeps what was heard so far; a new take replaces the old.
    auto again = test.record(5000ms);
    queues.pump(scheduler);
    backend.feedTone(0.2);
    queues.pump(scheduler);
    test.stopRecording();
    queues.pump(scheduler);
    EXPECT_EQ(test.state(), MicTestRecording::State::recorded);
    EXPECT_EQ(test.recordedLength(), 200ms);
}

TEST_F(MicTestRecordingTest, SaysWhenNoMicrophoneOrSpeakerCanBeOpened)
{
    speakers.refuseNext = true;
    auto first = test.record(200ms);
    queues.pump(scheduler);
    scheduler.advance(200ms);
    queues.pump(scheduler);
    auto refused = test.play();
    queues.pump(scheduler);
    EXPECT_EQ(test.state(), MicTestRecording::State::recorded);
    EXPECT_FALSE(test.error().isEmpty());

    backend.devices.clear();
    backend.defaultID.clear();
    auto second = test.record(200ms);
    queues.pump(scheduler);
    EXPECT_EQ(test.state(), MicTestRecording::State::failed);
    EXPECT_TRUE(test.error().contains(QStringLiteral("No microphone")));
}
