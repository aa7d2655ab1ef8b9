#include "audio/MicCaptureSession.h"

#include "core/Log.h"
#include "core/SerialQueue.h"
#include "core/UserDefaults.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::audioDevice(), message);
}

void error(const QString &message)
{
    logs::error(logs::audioDevice(), message);
}

qint64 elapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

QString describe(const std::optional<AudioInputInfo> &device)
{
    return device ? QStringLiteral("'%1' (%2)").arg(device->name, device->uniqueID) : QStringLiteral("none");
}

} // namespace

QString toString(MicCaptureError e)
{
    return e == MicCaptureError::noDevice ? QStringLiteral("no microphone available")
                                          : QStringLiteral("the microphone could not be configured");
}

QString toString(MicAuthorization authorization)
{
    switch (authorization) {
    case MicAuthorization::authorized:
        return QStringLiteral("authorized");
    case MicAuthorization::denied:
        return QStringLiteral("denied");
    case MicAuthorization::unavailable:
        return QStringLiteral("no sound server");
    }
    return {};
}

QCoro::Task<MicAuthorization> queryAuthorization(AudioCaptureBackend &backend, Scheduler &scheduler,
                                                 const QueueFactory &queues)
{
    const auto probe = (queues ? queues : threadQueues())(QStringLiteral("com.dravelin.mic-auth"));
    auto ask = [b = &backend] { return b->authorization(); };
    co_return co_await onQueue(*probe, scheduler, ask);
}

// ---- MicBufferSink ----------------------------------------------------------

void MicBufferSink::begin(Callback onBuffer, QString context)
{
    std::lock_guard lock(m_mutex);
    m_onBuffer = std::move(onBuffer);
    m_context = std::move(context);
    m_verified = false;
}

void MicBufferSink::detach()
{
    std::lock_guard lock(m_mutex);
    m_onBuffer = nullptr;
}

void MicBufferSink::deliver(const AudioBlock &block)
{
    Callback onBuffer;
    QString context;
    bool wasVerified = false;
    {
        std::lock_guard lock(m_mutex);
        wasVerified = m_verified;
        m_verified = true;
        onBuffer = m_onBuffer;
        context = m_context;
    }
    if (!onBuffer)
        return;
    const bool usable = block.sampleRate == PcmBuffer::kSampleRate && block.channels == 1 && block.isFloat;
    if (!wasVerified && !usable) {
        error(QStringLiteral("[%1] capture format mismatch — requested %2 Hz mono float32, hardware delivered %3 Hz "
                             "%4 ch %5. Audio will be unusable.")
                  .arg(context)
                  .arg(PcmBuffer::kSampleRate)
                  .arg(block.sampleRate)
                  .arg(block.channels)
                  .arg(block.isFloat ? QStringLiteral("float") : QStringLiteral("int")));
    }
    if (!usable || block.bytes.size() < static_cast<qsizetype>(sizeof(float)))
        return;
    PcmBuffer buffer;
    buffer.samples.resize(static_cast<size_t>(block.bytes.size()) / sizeof(float));
    std::memcpy(buffer.samples.data(), block.bytes.constData(), buffer.samples.size() * sizeof(float));
    onBuffer(std::move(buffer));
}

// ---- MicCaptureSession ------------------------------------------------------

struct MicCaptureSession::Worker
{
    std::unique_ptr<AudioCaptureStream> stream;
    // Set on the back end's thread once the stream has failed (the sound
    // server went away or restarted, the device was removed): it will never
    // deliver again, so the next configure opens a new one.
    std::shared_ptr<std::atomic<bool>> streamFailed = std::make_shared<std::atomic<bool>>(false);
};

MicCaptureSession::MicCaptureSession(QString context, AudioCaptureBackend &backend, Scheduler &scheduler,
                                     UserDefaults &defaults, const QueueFactory &queues, QObject *parent)
    : QObject(parent)
    , m_context(std::move(context))
    , m_backend(backend)
    , m_scheduler(scheduler)
    , m_defaults(defaults)
    , m_sink(std::make_shared<MicBufferSink>())
    , m_worker(std::make_shared<Worker>())
    , m_queue((queues ? queues : threadQueues())(QStringLiteral("com.dravelin.mic-capture.") + m_context))
{}

MicCaptureSession::~MicCaptureSession()
{
    m_sink->detach();
    m_queue->enqueue([worker = m_worker] { worker->stream.reset(); });
    m_queue.reset(); // runs what is queued, then joins
}

Expected<AudioInputInfo, MicCaptureError> MicCaptureSession::configure(const QString &savedDeviceID)
{
    auto device = AudioInputDevice::selectedCaptureDevice(m_backend, savedDeviceID, m_context);
    if (!device)
        device = m_backend.defaultDevice();
    if (!device) {
        error(QStringLiteral("[%1] no microphone available").arg(m_context));
        return Unexpected{MicCaptureError::noDevice};
    }
    if (m_worker->stream && m_worker->streamFailed->load()) {
        info(QStringLiteral("[%1] capture stream on '%2' failed earlier — opening a new one")
                 .arg(m_context, m_worker->stream->device().name));
        // Gone before the new one opens, so the two never hold the server at once.
        m_worker->stream.reset();
    }
    if (m_worker->stream && m_worker->stream->device().uniqueID == device->uniqueID)
        return *device; // the graph is already set up for this device

    QString reason;
    auto stream = m_backend.open(*device, reason);
    if (!stream) {
        error(QStringLiteral("[%1] could not open '%2': %3").arg(m_context, device->name, reason));
        return Unexpected{MicCaptureError::configurationFailed};
    }
    // Blocks hop from the back end's thread onto this session's queue, so a
    // job enqueued later (the tail's detach) runs after every earlier block.
    SerialQueue *queue = m_queue.get();
    stream->setBlockHandler([queue, sink = m_sink](AudioBlock block) {
        queue->enqueue([sink, block = std::move(block)] { sink->deliver(block); });
    });
    auto failed = std::make_shared<std::atomic<bool>>(false);
    stream->setErrorHandler([context = m_context, failed](const QString &failure) {
        failed->store(true);
        error(QStringLiteral("[%1] capture runtime error: %2")
                  .arg(context, failure.isEmpty() ? QStringLiteral("unknown") : failure));
    });
    m_worker->stream = std::move(stream);
    m_worker->streamFailed = std::move(failed);

    const AudioInputInfo active = m_worker->stream->device();
    if (active.uniqueID != device->uniqueID) {
        error(QStringLiteral("[%1] WRONG INPUT DEVICE — expected '%2' (%3) but the session is on '%4' (%5). "
                             "Recording would capture the wrong microphone.")
                  .arg(m_context, device->name, device->uniqueID, active.name, active.uniqueID));
    } else {
        info(QStringLiteral("[%1] verified session input is '%2'").arg(m_context, active.name));
    }
    return *device;
}

QCoro::Task<Expected<AudioInputInfo, MicCaptureError>> MicCaptureSession::start(MicBufferSink::Callback onBuffer)
{
    QPointer self(this);
    ++m_gate.epoch;
    const Millis t0 = m_scheduler.monotonicNow();
    const QString savedID = m_defaults.string(QString::fromLatin1(kDeviceKey)).value_or(QString());
    auto configureJob = [this, savedID] { return configure(savedID); };
    auto configured = co_await onQueue(*m_queue, m_scheduler, configureJob);
    if (!self)
        co_return Unexpected{MicCaptureError::configurationFailed};
    if (!configured)
        co_return configured;
    const qint64 configMs = (m_scheduler.monotonicNow() - t0).count();
    m_activeDeviceName = configured->name;
    m_sink->begin(std::move(onBuffer), m_context);
    m_gate.isCapturing = true;
    m_queue->enqueue([worker = m_worker, context = m_context, name = configured->name, configMs] {
        if (!worker->stream)
            return;
        const auto t = std::chrono::steady_clock::now();
        worker->stream->startRunning();
        info(QStringLiteral("[%1] capture started on '%2' → %3 Hz mono float32 (config %4 ms, startRunning %5 ms)")
                 .arg(context, name)
                 .arg(PcmBuffer::kSampleRate)
                 .arg(configMs)
                 .arg(elapsedMs(t)));
    });
    co_return configured;
}

QCoro::Task<> MicCaptureSession::stopAfterTail(Millis tail)
{
    QPointer self(this);
    const quint64 epoch = m_gate.epoch;
    if (!m_gate.isCapturing) {
        stop();
        co_return;
    }
    const Millis asleepFrom = m_scheduler.monotonicNow();
    co_await m_scheduler.sleep(tail);
    if (!self)
        co_return;
    const qint64 sleptMs = (m_scheduler.monotonicNow() - asleepFrom).count();
    if (!m_gate.isCapturing || m_gate.epoch != epoch) {
        info(QStringLiteral("[%1] tail superseded after %2 ms — a stop or restart during it already owns the session")
                 .arg(m_context)
                 .arg(sleptMs));
        co_return;
    }
    m_gate.isCapturing = false;
    const Millis enqueuedAt = m_scheduler.monotonicNow();
    // Behind every block already queued: detach the consumer, then stop.
    auto detach = [sink = m_sink, worker = m_worker] {
        sink->detach();
        if (worker->stream && worker->stream->isRunning())
            worker->stream->stopRunning();
        return true;
    };
    co_await onQueue(*m_queue, m_scheduler, detach);
    if (!self)
        co_return;
    info(QStringLiteral("[%1] capture stopped after %2 ms tail (drain %3 ms)")
             .arg(m_context)
             .arg(sleptMs)
             .arg((m_scheduler.monotonicNow() - enqueuedAt).count()));
}

void MicCaptureSession::stop()
{
    m_sink->detach();
    const bool wasCapturing = m_gate.isCapturing;
    m_gate.isCapturing = false;
    m_queue->enqueue([worker = m_worker] {
        if (worker->stream && worker->stream->isRunning())
            worker->stream->stopRunning();
    });
    if (wasCapturing)
        info(QStringLiteral("[%1] capture stopped").arg(m_context));
}

QCoro::Task<> MicCaptureSession::prewarm()
{
    QPointer self(this);
    auto ask = [backend = &m_backend] { return backend->authorization(); };
    const auto authorization = co_await onQueue(*m_queue, m_scheduler, ask);
    if (!self)
        co_return;
    if (authorization == MicAuthorization::denied)
        co_return;
    if (authorization == MicAuthorization::unavailable) {
        info(QStringLiteral("[%1] prewarm skipped — no sound server answered").arg(m_context));
        co_return;
    }
    const Millis t0 = m_scheduler.monotonicNow();
    const QString savedID = m_defaults.string(QString::fromLatin1(kDeviceKey)).value_or(QString());
    auto configureJob = [this, savedID] { return configure(savedID); };
    const auto configured = co_await onQueue(*m_queue, m_scheduler, configureJob);
    if (!self)
        co_return;
    if (configured) {
        m_activeDeviceName = configured->name;
        info(QStringLiteral("[%1] pre-warmed on '%2' in %3 ms")
                 .arg(m_context, configured->name)
                 .arg((m_scheduler.monotonicNow() - t0).count()));
    } else {
        info(QStringLiteral("[%1] prewarm failed (%2) — the next recording will configure on demand")
                 .arg(m_context, toString(configured.error())));
    }
}

// ---- AudioInputDevice -------------------------------------------------------

namespace AudioInputDevice {

void select(UserDefaults &defaults, const QString &uniqueID)
{
    defaults.set(QString::fromLatin1(MicCaptureSession::kDeviceKey), uniqueID);
    logs::info(logs::audioDevice(), QStringLiteral("Microphone selection changed to '%1'")
                                        .arg(uniqueID.isEmpty() ? QStringLiteral("system default") : uniqueID));
}

std::optional<AudioInputInfo> selectedCaptureDevice(AudioCaptureBackend &backend, const QString &savedDeviceID,
                                                    const QString &context)
{
    if (savedDeviceID.isEmpty()) {
        info(QStringLiteral("[%1] using system default input: %2").arg(context, describe(backend.defaultDevice())));
        return std::nullopt;
    }
    const QList<AudioInputInfo> devices = backend.inputDevices();
    for (const auto &device : devices) {
        if (device.uniqueID == savedDeviceID) {
            info(QStringLiteral("[%1] capture device set to '%2' (uid %3, hardware %4 Hz)")
                     .arg(context, device.name, device.uniqueID)
                     .arg(device.hardwareSampleRate));
            return device;
        }
    }
    info(QStringLiteral("[%1] saved mic '%2' not present — falling back to system default: %3")
             .arg(context, savedDeviceID, describe(backend.defaultDevice())));
    QStringList names;
    for (const auto &device : devices)
        names << QStringLiteral("'%1' (%2)").arg(device.name, device.uniqueID);
    info(QStringLiteral("Available input devices: %1")
             .arg(names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
    return std::nullopt;
}

QList<AudioInputInfo> captureDevices(AudioCaptureBackend &backend)
{
    return backend.inputDevices();
}

} // namespace AudioInputDevice

} // namespace dravelin
