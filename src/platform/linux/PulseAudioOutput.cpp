#include "platform/linux/PulseAudioOutput.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dravelin::nix {

namespace {

class PulsePlayback final : public AudioPlayback
{
public:
    PulsePlayback(pa_simple *stream, std::vector<float> samples, int sampleRate)
        : m_stream(stream)
        , m_samples(std::move(samples))
        , m_chunk(static_cast<size_t>(sampleRate / 50))
    {}

    ~PulsePlayback() override
    {
        stop();
        if (m_stream)
            pa_simple_free(m_stream);
    }

    bool play() override
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return false;
        m_playing = true;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        m_wake.notify_all();
        return true;
    }

    void pause() override
    {
        std::lock_guard lock(m_mutex);
        m_playing = false;
    }

    void stop() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
            m_playing = false;
            onFinished = nullptr;
            onError = nullptr;
        }
        m_wake.notify_all();
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
            m_thread.join();
    }

    bool isPlaying() const override
    {
        std::lock_guard lock(m_mutex);
        return m_playing;
    }

private:
    void run()
    {
        size_t position = 0;
        while (true) {
            std::function<void(bool)> finished;
            std::function<void(const QString &)> failed;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_playing || m_stopped; });
                if (m_stopped)
                    return;
                finished = onFinished;
                failed = onError;
            }
            if (position >= m_samples.size()) {
                int err = 0;
                pa_simple_drain(m_stream, &err);
                {
                    std::lock_guard lock(m_mutex);
                    m_playing = false;
                    if (m_stopped)
                        return;
                }
                if (finished)
                    finished(true);
                return;
            }
            const size_t count = std::min(m_chunk, m_samples.size() - position);
            int err = 0;
            if (pa_simple_write(m_stream, m_samples.data() + position, count * sizeof(float), &err) < 0) {
                {
                    std::lock_guard lock(m_mutex);
                    m_playing = false;
                }
                if (failed)
                    failed(QString::fromUtf8(pa_strerror(err)));
                if (finished)
                    finished(false);
                return;
            }
            position += count;
        }
    }

    pa_simple *m_stream;
    std::vector<float> m_samples;
    size_t m_chunk;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_playing = false;
    bool m_stopped = false;
    std::thread m_thread;
};

} // namespace

std::unique_ptr<AudioPlayback> PulseAudioOutput::load(std::vector<float> samples, int sampleRate, QString *error)
{
    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.rate = static_cast<uint32_t>(sampleRate);
    sampleFormat.channels = 1;
    pa_buffer_attr buffering{};
    buffering.maxlength = static_cast<uint32_t>(-1);
    buffering.tlength = static_cast<uint32_t>(sampleRate / 20 * sizeof(float)); // 50 ms
    buffering.prebuf = static_cast<uint32_t>(-1);
    buffering.minreq = static_cast<uint32_t>(-1);
    buffering.fragsize = static_cast<uint32_t>(-1);
    int err = 0;
    pa_simple *stream = pa_simple_new(nullptr, "Dravelin", PA_STREAM_PLAYBACK, nullptr, "Recording playback",
                                      &sampleFormat, nullptr, &buffering, &err);
    if (!stream) {
        if (error)
            *error = QString::fromUtf8(pa_strerror(err));
        return nullptr;
    }
    return std::make_unique<PulsePlayback>(stream, std::move(samples), sampleRate);
}

} // namespace dravelin::nix
