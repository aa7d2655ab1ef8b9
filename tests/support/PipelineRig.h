#pragma once

// A recording pipeline wired to the recording fakes on a virtual clock, for
// the pipeline's own tests and for the controls that drive it. The recorder
// takes 100 ms to go live unless a test says otherwise.

#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "pipeline/RecordingPipeline.h"
#include "support/AudioFakes.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"
#include "system/SoundFeedback.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace dravelin::test {

struct PipelineRig
{
    PipelineRig()
        : defaults(dir.filePath(QStringLiteral("settings.json")))
        , recorder(scheduler)
        , sounds(defaults, player)
    {
        recorder.startLatency = std::chrono::milliseconds(100);
    }

    // Lets every suspended task finish, so nothing is left waiting on a clock
    // that is about to go away.
    ~PipelineRig() { shutDown(); }

    // The pipeline on the collaborators every one has, and whichever optional ones `extras` adds.
    void build(const std::function<void(RecordingPipeline::Collaborators &)> &extras = {})
    {
        RecordingPipeline::Collaborators c{recorder,  warmUps,   warmUps, paste,     history,
                                           indicator, auth,      hotkeys, sounds,    workspace,
                                           defaults,  scheduler, pending, &uploader, &quality};
        if (extras)
            extras(c);
        pipeline = std::make_unique<RecordingPipeline>(c);
        pipeline->wireUp();
    }

    void shutDown()
    {
        pipeline.reset();
        for (int i = 0; i < 10000 && scheduler.runNext(); ++i) {
        }
    }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    FakeRecorder recorder;
    FakeWarmUps warmUps;
    FakePaste paste;
    FakeHistory history;
    FakeIndicator indicator;
    FakeAuth auth;
    FakeHotkeys hotkeys;
    RecordingSoundPlayer player;
    SoundFeedback sounds;
    FakeWorkspace workspace;
    FakePending pending;
    FakeUploader uploader;
    FakeQuality quality;
    std::unique_ptr<RecordingPipeline> pipeline;
};

} // namespace dravelin::test
