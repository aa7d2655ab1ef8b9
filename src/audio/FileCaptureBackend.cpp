#include "audio/FileCaptureBackend.h"

#include "audio/AACFileWriter.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dravelin {

namespace {

constexpr int kRate = 16000;
constexpr size_t kBlockFrames = kRate / 50; // 20 ms

class FileStream final : public AudioCaptureStream
{
public:
    FileStream(AudioInputInfo device, const std::vector<float> &samples)
        : m_device(std::move(device))
        , m_samples(samples)
    {}
    ~FileStream() override { stopRunning(); }

    AudioInputInfo device() const override { return m_device; }
    void setBlockHandler(std::function<void(AudioBlock)> handler) override { m_handler = std::move(handler); }
    void setErrorHandler(std::function<void(QString)>) override {}
    void startRunning() override
    {
        if (m_running.exchange(true))
            return;
        m_stop = false;
        m_thread = std::thread([this] { run(); });
    }
    void stopRunning() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        m_running = false;
    }
    bool isRunning() const override { return m_running; }

private:
    void run()
    {
        using Clock = std::chrono::steady_clock;
        auto next = Clock::now();
        size_t position = 0;
        std::vector<float> block(kBlockFrames);
        while (true) {
            const size_t available = position < m_samples.size() ? m_samples.size() - position : 0;
            const size_t count = std::min(kBlockFrames, available);
            std::copy_n(m_samples.begin() + static_cast<std::ptrdiff_t>(position), count, block.begin());
            std::fill(block.begin() + static_cast<std::ptrdiff_t>(count), block.end(), 0.0f); // then silence
            position += count;
            AudioBlock out;
            out.bytes = QByteArray(reinterpret_cast<const char *>(block.data()),
                                   static_cast<qsizetype>(block.size() * sizeof(float)));
            out.sampleRate = kRate;
            out.channels = 1;
            out.isFloat = true;
            if (m_handler)
                m_handler(std::move(out));
            next += std::chrono::milliseconds(20);
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stop; }))
                return;
        }
    }

    AudioInputInfo m_device;
    const std::vector<float> &m_samples;
    std::function<void(AudioBlock)> m_handler;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::atomic<bool> m_running{false};
};

} // namespace

FileCaptureBackend::FileCaptureBackend(QString path) : m_path(std::move(path)) {}

bool FileCaptureBackend::decode(QString *error)
{
    if (m_decoded)
        return true;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(m_path, file.errorString());
        return false;
    }
    auto samples = decodeAudio(file.readAll());
    if (!samples) {
        if (error)
            *error = QStringLiteral("cannot decode %1: %2").arg(m_path, samples.error());
        return false;
    }
    m_samples = std::move(*samples);
    m_decoded = true;
    return true;
}

MicAuthorization FileCaptureBackend::authorization()
{
    return MicAuthorization::authorized;
}

QList<AudioInputInfo> FileCaptureBackend::inputDevices()
{
    AudioInputInfo info;
    info.uniqueID = QStringLiteral("file:") + m_path;
    info.name = QStringLiteral("Audio file %1").arg(QFileInfo(m_path).fileName());
    info.hardwareSampleRate = kRate;
    return {info};
}

std::optional<AudioInputInfo> FileCaptureBackend::defaultDevice()
{
    return inputDevices().front();
}

std::unique_ptr<AudioCaptureStream> FileCaptureBackend::open(const AudioInputInfo &device, QString &error)
{
    if (!decode(&error))
        return nullptr;
    return std::make_unique<FileStream>(device, m_samples);
}

qint64 FileCaptureBackend::durationMs()
{
    return decode(nullptr) ? static_cast<qint64>(m_samples.size()) * 1000 / kRate : 0;
}

} // namespace dravelin
