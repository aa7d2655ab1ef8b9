#pragma once

// The microphone of the real-audio tests: with-pulseaudio.sh makes a pipe the
// default source, and this writes into it at the pace of real time.

#include <QByteArray>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace dravelin::test {

// Writes 20 ms of audio into the microphone pipe every 20 ms on a thread of
// its own: queued speech when there is some, silence otherwise.
class MicFeeder
{
public:
    // The pipe with-pulseaudio.sh names in DRAVELIN_TEST_MIC_FIFO.
    MicFeeder() : MicFeeder(qgetenv("DRAVELIN_TEST_MIC_FIFO")) {}
    explicit MicFeeder(const QByteArray &fifo)
    {
        m_fd = ::open(fifo.constData(), O_WRONLY);
        if (m_fd >= 0)
            m_thread = std::thread([this] { run(); });
    }
    ~MicFeeder()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    void speak(const std::vector<float> &samples)
    {
        std::lock_guard lock(m_mutex);
        m_queue.insert(m_queue.end(), samples.begin(), samples.end());
    }
    bool speaking() const
    {
        std::lock_guard lock(m_mutex);
        return !m_queue.empty();
    }

private:
    void run()
    {
        constexpr size_t kChunk = 320;
        auto next = std::chrono::steady_clock::now();
        std::vector<float> chunk(kChunk);
        while (!m_stop) {
            {
                std::lock_guard lock(m_mutex);
                const size_t n = std::min(kChunk, m_queue.size());
                std::copy(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n), chunk.begin());
                std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(n), chunk.end(), 0.0f);
                m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
            }
            if (::write(m_fd, chunk.data(), chunk.size() * sizeof(float)) < 0)
                return;
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::deque<float> m_queue;
    std::thread m_thread;
};

} // namespace dravelin::test
