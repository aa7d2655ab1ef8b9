#pragma once

#include "audio/Pcm.h"
#include "core/Expected.h"
#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "platform/AudioCapture.h"

#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <mutex>

namespace dravelin {

class UserDefaults;

enum class MicCaptureError {
    noDevice,
    configurationFailed
};

QString toString(MicCaptureError error);

// The consumer end of a capture: the callback behind a lock, shared between
// the main thread (which attaches and detaches it) and the capture queue
// (which delivers).
class MicBufferSink
{
public:
    using Callback = std::function<void(PcmBuffer)>;

    void begin(Callback onBuffer, QString context);
    void detach();
    // On the capture queue: checks the block's format (logged once per
    // begin), drops what is not 16 kHz mono float, and hands the rest over.
    void deliver(const AudioBlock &block);

private:
    std::mutex m_mutex;
    Callback m_onBuffer;
    QString m_context;
    bool m_verified = false;
};

// Which start a late tail belongs to.
struct CaptureStopGate
{
    quint64 epoch = 0;
    bool isCapturing = false;
};

// The one way to read the microphone. Each recorder owns a session with a
// context name ("batch-recorder", "dictation", "mic-meter") that stands in
// its log lines and its queue's label. Configuration, running and delivery
// happen on the session's serial queue; the public operations are main-thread.
//
// Stopping keeps capturing for a short tail so the last syllable is not cut,
// then detaches the consumer behind every block already queued.
class MicCaptureSession : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kDeviceKey = "mic.deviceID";

    MicCaptureSession(QString context, AudioCaptureBackend &backend, Scheduler &scheduler, UserDefaults &defaults,
                      const QueueFactory &queues = {}, QObject *parent = nullptr);
    ~MicCaptureSession() override;

    // Starts delivering 16 kHz mono float buffers to `onBuffer` (on the
    // capture queue). Resolves with the device in use once configured.
    QCoro::Task<Expected<AudioInputInfo, MicCaptureError>> start(MicBufferSink::Callback onBuffer);
    // Keeps capturing for `tail`, then detaches the consumer after every
    // block queued so far has reached it. Returns at once when not capturing.
    QCoro::Task<> stopAfterTail(Millis tail);
    // Stops at once; blocks still queued are dropped.
    void stop();
    // Configures the device ahead of the first start. Never fails.
    QCoro::Task<> prewarm();

    QString context() const { return m_context; }
    QString activeDeviceName() const { return m_activeDeviceName; }
    bool isCapturing() const { return m_gate.isCapturing; }
    const CaptureStopGate &gate() const { return m_gate; }

private:
    struct Worker;
    Expected<AudioInputInfo, MicCaptureError> configure(const QString &savedDeviceID);

    QString m_context;
    AudioCaptureBackend &m_backend;
    Scheduler &m_scheduler;
    UserDefaults &m_defaults;
    std::shared_ptr<MicBufferSink> m_sink;
    std::shared_ptr<Worker> m_worker; // state touched only on the queue
    std::unique_ptr<SerialQueue> m_queue;
    CaptureStopGate m_gate;
    QString m_activeDeviceName = QStringLiteral("unknown");
};

QString toString(MicAuthorization authorization);

// Asks the back end (a blocking call) on a short-lived queue of its own.
QCoro::Task<MicAuthorization> queryAuthorization(AudioCaptureBackend &backend, Scheduler &scheduler,
                                                 const QueueFactory &queues);

// Device choice and enumeration.
namespace AudioInputDevice {

// Stores the choice ("" is the system default) and logs it.
void select(UserDefaults &defaults, const QString &uniqueID);
// The saved device when present; nothing means the system default. A saved
// device that is gone is kept in the settings, so it is used again when it
// returns. Blocking: call on a capture queue.
std::optional<AudioInputInfo> selectedCaptureDevice(AudioCaptureBackend &backend, const QString &savedDeviceID,
                                                    const QString &context);
QList<AudioInputInfo> captureDevices(AudioCaptureBackend &backend);

} // namespace AudioInputDevice

} // namespace dravelin
