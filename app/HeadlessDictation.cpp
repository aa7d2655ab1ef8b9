#include "HeadlessDictation.h"

#include "account/AuthService.h"
#include "audio/FileCaptureBackend.h"
#include "output/ClipboardHistory.h"
#include "output/RecordingUploader.h"
#include "output/TranscriptionQualityReporter.h"
#include "pipeline/PendingTranscriptions.h"
#include "pipeline/ServiceContainer.h"

namespace dravelin {

struct HeadlessDictation::Parts
{
    Parts(const Options &options, AuthService &auth, Scheduler &sched)
        : scheduler(sched)
        , container(ServiceContainer::Options{options.settingsPath, options.dataRoot, options.inputFile, false,
                                              options.pasteOnDesktop, &auth},
                    sched)
    {}

    Scheduler &scheduler;
    ServiceContainer container;
};

HeadlessDictation::HeadlessDictation(Options options, AuthService &auth, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_parts(std::make_unique<Parts>(options, auth, scheduler))
{}

HeadlessDictation::~HeadlessDictation() = default;

QCoro::Task<> HeadlessDictation::attachHistory()
{
    ServiceContainer &container = m_parts->container;
    co_await container.start();
}

QCoro::Task<bool> HeadlessDictation::start()
{
    RecordingPipeline &pipeline = m_parts->container.pipeline();
    co_await pipeline.toggleRecord();
    // The recorder goes live asynchronously; wait for it (bounded).
    for (int i = 0; i < 200 && pipeline.isStarting(); ++i)
        co_await m_parts->scheduler.sleep(Millis(10));
    co_return pipeline.state() == PipelineState::recording;
}

QCoro::Task<> HeadlessDictation::recordFor(Millis duration)
{
    Scheduler &scheduler = m_parts->scheduler;
    RecordingPipeline &pipeline = m_parts->container.pipeline();
    const Millis deadline = scheduler.monotonicNow() + duration;
    while (scheduler.monotonicNow() < deadline && pipeline.state() == PipelineState::recording)
        co_await scheduler.sleep(std::min(Millis(100), deadline - scheduler.monotonicNow()));
}

QCoro::Task<> HeadlessDictation::stop()
{
    // The length cap may have stopped it already: toggling then would start
    // a new recording.
    RecordingPipeline &pipeline = m_parts->container.pipeline();
    if (pipeline.state() == PipelineState::recording)
        co_await pipeline.toggleRecord();
}

UserDefaults &HeadlessDictation::defaults()
{
    return m_parts->container.defaults();
}

PendingTranscriptions &HeadlessDictation::pending()
{
    return m_parts->container.pending();
}

QCoro::Task<> HeadlessDictation::drain(Millis limit)
{
    Scheduler &scheduler = m_parts->scheduler;
    ServiceContainer &container = m_parts->container;
    const Millis deadline = scheduler.monotonicNow() + limit;
    while (scheduler.monotonicNow() < deadline &&
           (container.uploader().taskTracker().pendingCount() > 0 ||
            container.pipeline().state() != PipelineState::idle || container.history().recordingsBeingSaved() > 0 ||
            container.qualityReporter().taskTracker().pendingCount() > 0))
        co_await scheduler.sleep(Millis(50));
}

RecordingPipeline &HeadlessDictation::pipeline()
{
    return m_parts->container.pipeline();
}

qint64 HeadlessDictation::inputDurationMs() const
{
    FileCaptureBackend *file = m_parts->container.fileMicrophone();
    return file ? file->durationMs() : 0;
}

QString HeadlessDictation::lastIndicator() const
{
    return m_parts->container.lastIndicator();
}

QString HeadlessDictation::lastMessage() const
{
    const IndicatorState state = m_parts->container.lastIndicatorState();
    return state.text().isEmpty() ? state.describe() : state.text();
}

ClipboardHistory &HeadlessDictation::history()
{
    return m_parts->container.history();
}

} // namespace dravelin
