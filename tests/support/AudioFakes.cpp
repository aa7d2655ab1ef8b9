#include "support/AudioFakes.h"

#include <cmath>
#include <cstring>

namespace dravelin::test {

namespace {

class ManualQueue final : public SerialQueue
{
public:
    ManualQueue(std::shared_ptr<void> keep, std::function<void(std::function<void()>)> push, QString label)
        : m_keep(std::move(keep))
        , m_push(std::move(push))
        , m_label(std::move(label))
    {}
    void enqueue(std::function<void()> job) override { m_push(std::move(job)); }
    QString label() const override { return m_label; }

private:
    std::shared_ptr<void> m_keep;
    std::function<void(std::function<void()>)> m_push;
    QString m_label;
};

class ImmediateQueue final : public SerialQueue
{
public:
    explicit ImmediateQueue(QString label) : m_label(std::move(label)) {}
    void enqueue(std::function<void()> job) override { job(); }
    QString label() const override { return m_label; }

private:
    QString m_label;
};

} // namespace

QueueFactory ManualQueues::factory()
{
    auto shared = m_shared;
    return [shared](const QString &label) -> std::unique_ptr<SerialQueue> {
        return std::make_unique<ManualQueue>(
            shared,
            [shared](std::function<void()> job) {
                std::lock_guard lock(shared->mutex);
                shared->jobs.push_back(std::move(job));
            },
            label);
    };
}

int ManualQueues::runAll()
{
    int ran = 0;
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(m_shared->mutex);
            if (m_shared->jobs.empty())
                return ran;
            job = std::move(m_shared->jobs.front());
            m_shared->jobs.pop_front();
        }
        job();
        ++ran;
    }
}

size_t ManualQueues::pending() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->jobs.size();
}

void ManualQueues::pump(VirtualScheduler &scheduler)
{
    for (int i = 0; i < 100; ++i) {
        const int ran = runAll();
        const size_t before = scheduler.pendingWakes();
        scheduler.runPending();
        if (ran == 0 && before == scheduler.pendingWakes() && pending() == 0)
            return;
    }
}

QueueFactory immediateQueues()
{
    return [](const QString &label) -> std::unique_ptr<SerialQueue> { return std::make_unique<ImmediateQueue>(label); };
}

FakeAudioBackend::FakeAudioBackend()
{
    devices << AudioInputInfo{QStringLiteral("builtin"), QStringLiteral("Built-in Microphone"), false, false, 48000}
            << AudioInputInfo{QStringLiteral("usb"), QStringLiteral("USB Headset"), false, false, 16000};
}

std::optional<AudioInputInfo> FakeAudioBackend::defaultDevice()
{
    for (const auto &d : devices) {
        if (d.uniqueID == defaultID)
            return d;
    }
    return std::nullopt;
}

std::unique_ptr<AudioCaptureStream> FakeAudioBackend::open(const AudioInputInfo &device, QString &error)
{
    ++openCount;
    if (!openError.isEmpty()) {
        error = openError;
        return nullptr;
    }
    auto stream = std::make_unique<FakeCaptureStream>(*this, device);
    current = stream.get();
    return stream;
}

FakeCaptureStream::~FakeCaptureStream()
{
    if (m_backend.current == this)
        m_backend.current = nullptr;
}

void FakeAudioBackend::feedBlock(AudioBlock block)
{
    if (current)
        current->deliver(std::move(block));
}

void FakeAudioBackend::feed(size_t frames, float value)
{
    std::vector<float> samples(frames, value);
    AudioBlock block;
    block.bytes =
        QByteArray(reinterpret_cast<const char *>(samples.data()), static_cast<qsizetype>(frames * sizeof(float)));
    block.sampleRate = 16000;
    block.channels = 1;
    block.isFloat = true;
    feedBlock(std::move(block));
}

void FakeAudioBackend::feedTone(double seconds, float amplitude)
{
    const size_t total = static_cast<size_t>(seconds * 16000);
    std::vector<float> samples(320);
    for (size_t done = 0; done < total; done += samples.size()) {
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] =
                amplitude * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(done + i) / 16000));
        AudioBlock block;
        block.bytes = QByteArray(reinterpret_cast<const char *>(samples.data()),
                                 static_cast<qsizetype>(samples.size() * sizeof(float)));
        block.sampleRate = 16000;
        block.channels = 1;
        block.isFloat = true;
        feedBlock(std::move(block));
    }
}

namespace {

class FakeSession final : public SpeechRecognitionSession
{
public:
    explicit FakeSession(FakeSpeechRecognizer &owner) : m_owner(owner) {}
    void append(const float *, size_t count) override { m_owner.samplesReceived += count; }
    void endAudio() override
    {
        if (m_owner.finalOnEndAudio)
            m_owner.send(m_owner.finalText, true);
    }
    void cancel() override { m_owner.cancelled = true; }
    std::chrono::milliseconds finalResultLimit() const override { return m_owner.finalLimit; }

private:
    FakeSpeechRecognizer &m_owner;
};

} // namespace

std::unique_ptr<SpeechRecognitionSession> FakeSpeechRecognizer::startSession(std::function<void(SpeechResult)> onResult,
                                                                             const RecognitionHints &hints)
{
    if (!available)
        return nullptr;
    ++sessions;
    lastHints = hints;
    cancelled = false;
    m_onResult = std::move(onResult);
    return std::make_unique<FakeSession>(*this);
}

} // namespace dravelin::test
