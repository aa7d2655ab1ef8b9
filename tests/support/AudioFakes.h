#pragma once

// Fakes of the audio stack: a back end with scripted devices, streams the
// test feeds by hand, queues the test runs by hand, a scripted recogniser and
// speakers that only record what they were given.

#include "core/SerialQueue.h"
#include "core/VirtualScheduler.h"
#include "platform/AudioCapture.h"
#include "platform/AudioOutput.h"
#include "platform/SpeechRecognizer.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace dravelin::test {

// Jobs wait until the test runs them; every queue made by manualQueues()
// shares one job list, so the test sees one serial order.
class ManualQueues
{
public:
    QueueFactory factory();
    // Runs queued jobs (and jobs they queue) until none is left.
    int runAll();
    size_t pending() const;

    // Alternates running queue jobs and main-thread wakes until both are idle.
    void pump(VirtualScheduler &scheduler);

private:
    struct Shared
    {
        mutable std::mutex mutex;
        std::deque<std::function<void()>> jobs;
    };
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};

// Runs every job at once, on the caller's thread.
QueueFactory immediateQueues();

class FakeCaptureStream;

class FakeAudioBackend final : public AudioCaptureBackend
{
public:
    FakeAudioBackend();

    MicAuthorization authorization() override { return auth; }
    QList<AudioInputInfo> inputDevices() override { return devices; }
    std::optional<AudioInputInfo> defaultDevice() override;
    std::unique_ptr<AudioCaptureStream> open(const AudioInputInfo &device, QString &error) override;
    void watchDevices(std::function<void()> onChange) override { onDevicesChanged = std::move(onChange); }

    // Feeds one block to the running stream: `frames` float samples of `value`.
    void feed(size_t frames, float value = 0.25f);
    void feedBlock(AudioBlock block);
    // A sine wave of `seconds` in blocks of 20 ms.
    void feedTone(double seconds, float amplitude = 0.5f);

    MicAuthorization auth = MicAuthorization::authorized;
    QList<AudioInputInfo> devices;
    QString defaultID = QStringLiteral("builtin");
    QString openError; // non-empty: open() fails with it
    int openCount = 0;
    std::function<void()> onDevicesChanged;
    FakeCaptureStream *current = nullptr; // the last stream opened, while it lives
};

class FakeCaptureStream final : public AudioCaptureStream
{
public:
    FakeCaptureStream(FakeAudioBackend &backend, AudioInputInfo device)
        : m_backend(backend)
        , m_device(std::move(device))
    {}
    ~FakeCaptureStream() override;
    AudioInputInfo device() const override { return m_device; }
    void setBlockHandler(std::function<void(AudioBlock)> handler) override { m_handler = std::move(handler); }
    void setErrorHandler(std::function<void(QString)> handler) override { m_errorHandler = std::move(handler); }
    void fail(const QString &reason)
    {
        if (m_errorHandler)
            m_errorHandler(reason);
    }
    void startRunning() override
    {
        m_running = true;
        ++starts;
    }
    void stopRunning() override
    {
        m_running = false;
        ++stops;
    }
    bool isRunning() const override { return m_running; }

    void deliver(AudioBlock block)
    {
        if (m_running && m_handler)
            m_handler(std::move(block));
    }

    int starts = 0;
    int stops = 0;

private:
    FakeAudioBackend &m_backend;
    AudioInputInfo m_device;
    std::function<void(AudioBlock)> m_handler;
    std::function<void(QString)> m_errorHandler;
    bool m_running = false;
};

// Results are sent when the test says; partials never arrive by themselves.
class FakeSpeechRecognizer final : public SpeechRecognizer
{
public:
    QString engineName() const override { return QStringLiteral("fake-speech"); }
    bool isAvailable() override { return available; }
    std::unique_ptr<SpeechRecognitionSession> startSession(std::function<void(SpeechResult)> onResult,
                                                           const RecognitionHints &hints) override;
    RecognitionHints lastHints; // what the last session was started with

    void send(QString text, bool isFinal = false)
    {
        if (m_onResult)
            m_onResult(SpeechResult{std::move(text), isFinal, {}, {}});
    }

    bool available = true;
    bool finalOnEndAudio = false; // answer endAudio() with a final result at once
    Millis finalLimit{0};         // what the sessions promise for their final result
    QString finalText;
    size_t samplesReceived = 0;
    int sessions = 0;
    bool cancelled = false;

private:
    std::function<void(SpeechResult)> m_onResult;
};

// The speakers, for tests: records what was loaded; playback never sounds.
class FakePlayback final : public AudioPlayback
{
public:
    bool play() override
    {
        playing = refuse ? false : true;
        return !refuse;
    }
    void pause() override { playing = false; }
    void stop() override
    {
        stopped = true;
        if (stops)
            ++*stops;
    }
    bool isPlaying() const override { return playing; }
    bool playing = false;
    bool stopped = false;
    bool refuse = false;
    int *stops = nullptr; // counts stop() calls beyond the player's life
};

class FakeOutput final : public AudioOutput
{
public:
    std::unique_ptr<AudioPlayback> load(std::vector<float> samples, int, QString *) override
    {
        auto playback = std::make_unique<FakePlayback>();
        playback->refuse = refuseNext;
        playback->stops = &stops;
        loaded.push_back(playback.get());
        lengths.push_back(samples.size());
        return playback;
    }
    std::vector<FakePlayback *> loaded;
    std::vector<size_t> lengths;
    bool refuseNext = false;
    int stops = 0; // players stopped, including ones already gone
};

} // namespace dravelin::test
