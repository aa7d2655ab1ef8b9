#include "audio/BluetoothMicrophoneMonitor.h"

#include "audio/MicCaptureSession.h"
#include "core/Log.h"
#include "core/UserDefaults.h"

#include <QPointer>

#include <algorithm>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::bluetoothMicrophone(), message);
}

} // namespace

namespace AudioInputDevice {

QList<AudioInputInfo> connectedBluetoothCaptureDevices(const QList<AudioInputInfo> &devices)
{
    QList<AudioInputInfo> bluetooth;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(bluetooth),
                 [](const AudioInputInfo &d) { return d.isBluetooth && !d.isMonitor; });
    return bluetooth;
}

std::optional<AudioInputInfo> preferredSystemCaptureDevice(const QList<AudioInputInfo> &devices,
                                                           const std::optional<AudioInputInfo> &defaultDevice,
                                                           const QString &excludedID)
{
    QList<AudioInputInfo> candidates;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(candidates),
                 [&](const AudioInputInfo &d) { return d.uniqueID != excludedID && !d.isBluetooth && !d.isMonitor; });
    if (candidates.isEmpty())
        return std::nullopt;
    if (defaultDevice) {
        const auto it = std::find_if(candidates.begin(), candidates.end(),
                                     [&](const AudioInputInfo &d) { return d.uniqueID == defaultDevice->uniqueID; });
        if (it != candidates.end())
            return *it;
    }
    const auto builtIn =
        std::find_if(candidates.begin(), candidates.end(), [](const AudioInputInfo &d) { return d.isBuiltIn; });
    return builtIn != candidates.end() ? *builtIn : candidates.first();
}

} // namespace AudioInputDevice

BluetoothMicrophoneMonitor::BluetoothMicrophoneMonitor(UserDefaults &defaults, Scheduler &scheduler,
                                                       AudioCaptureBackend &backend, const QueueFactory &queues,
                                                       Millis displayDuration, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_scheduler(scheduler)
    , m_backend(backend)
    , m_queue((queues ? queues : threadQueues())(QStringLiteral("com.dravelin.bluetooth-microphone")))
    , m_displayDuration(displayDuration)
{
    const QStringList prompted = m_defaults.stringArray(QString::fromLatin1(kPromptedKey)).value_or(QStringList{});
    m_promptedDeviceIDs = QSet<QString>(prompted.begin(), prompted.end());
}

BluetoothMicrophoneMonitor::~BluetoothMicrophoneMonitor()
{
    *m_alive = false;
    cancelDismissal();
    if (m_started)
        m_backend.watchDevices({});
}

void BluetoothMicrophoneMonitor::start()
{
    if (m_started)
        return;
    m_started = true;
    // Events arrive on the sound server's thread; the list is read again on
    // the main thread's turn.
    Scheduler *scheduler = &m_scheduler;
    std::shared_ptr<bool> alive = m_alive;
    auto onChange = [this, scheduler, alive] {
        scheduler->postFromAnyThread([this, alive] {
            if (*alive)
                refresh();
        });
    };
    // Subscribing may connect to the sound server, which blocks: on the
    // queue, followed by the first read of the list.
    AudioCaptureBackend *backend = &m_backend;
    m_queue->enqueue([backend, onChange] { backend->watchDevices(onChange); });
    refresh();
}

void BluetoothMicrophoneMonitor::refresh()
{
    if (m_refreshing) {
        m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    auto read = [](QPointer<BluetoothMicrophoneMonitor> self, SerialQueue &queue, Scheduler &scheduler,
                   AudioCaptureBackend *backend) -> QCoro::Task<> {
        // Named, not a temporary in the co_await: GCC 12 destroys the
        // captures of a temporary lambda there twice.
        auto list = [backend] { return Snapshot{backend->inputDevices(), backend->defaultDevice()}; };
        const Snapshot snapshot = co_await onQueue(queue, scheduler, std::move(list));
        if (!self)
            co_return;
        self->m_refreshing = false;
        self->apply(snapshot);
        if (std::exchange(self->m_refreshAgain, false))
            self->refresh();
    };
    m_tasks.track(read(QPointer(this), *m_queue, m_scheduler, &m_backend));
}

void BluetoothMicrophoneMonitor::apply(const Snapshot &snapshot)
{
    QHash<QString, QString> now;
    for (const AudioInputInfo &device : AudioInputDevice::connectedBluetoothCaptureDevices(snapshot.devices))
        now.insert(device.uniqueID, device.name);
    for (auto it = m_bluetoothNames.cbegin(); it != m_bluetoothNames.cend(); ++it) {
        if (!now.contains(it.key()))
            deviceDisconnected(it.key(), it.value());
    }
    const QHash<QString, QString> before = std::exchange(m_bluetoothNames, now);
    for (const AudioInputInfo &device : AudioInputDevice::connectedBluetoothCaptureDevices(snapshot.devices)) {
        if (before.contains(device.uniqueID))
            continue;
        const auto system =
            AudioInputDevice::preferredSystemCaptureDevice(snapshot.devices, snapshot.defaultDevice, device.uniqueID);
        deviceConnected(device.uniqueID, device.name, system ? std::optional(system->uniqueID) : std::nullopt,
                        system ? std::optional(system->name) : std::nullopt);
    }
}

void BluetoothMicrophoneMonitor::deviceConnected(const QString &uniqueID, const QString &name,
                                                 const std::optional<QString> &systemUniqueID,
                                                 const std::optional<QString> &systemName)
{
    if (m_connectedIDs.contains(uniqueID))
        return;
    m_connectedIDs.insert(uniqueID);
    if (m_promptedDeviceIDs.contains(uniqueID)) {
        info(QStringLiteral("Bluetooth microphone reconnected; notification already shown: '%1'").arg(name));
        return;
    }
    m_queuedPrompts.append(BluetoothMicrophonePrompt{uniqueID, name, systemUniqueID, systemName});
    info(QStringLiteral("Bluetooth microphone connected: '%1'").arg(name));
    presentNext();
}

void BluetoothMicrophoneMonitor::deviceDisconnected(const QString &uniqueID, const QString &name)
{
    m_connectedIDs.remove(uniqueID);
    m_queuedPrompts.removeIf([&](const BluetoothMicrophonePrompt &p) { return p.bluetoothUniqueID == uniqueID; });
    if (m_prompt && m_prompt->bluetoothUniqueID == uniqueID) {
        info(QStringLiteral("Bluetooth microphone disconnected while its notification was visible: '%1'").arg(name));
        finishPrompt();
    }
}

void BluetoothMicrophoneMonitor::choose(BluetoothMicrophoneChoice choice)
{
    if (!m_prompt)
        return;
    if (choice == BluetoothMicrophoneChoice::bluetoothMicrophone) {
        AudioInputDevice::select(m_defaults, m_prompt->bluetoothUniqueID);
        info(QStringLiteral("User selected Bluetooth microphone '%1'").arg(m_prompt->bluetoothName));
    } else {
        AudioInputDevice::select(m_defaults, m_prompt->systemUniqueID.value_or(QString()));
        info(QStringLiteral("User selected System Microphone '%1'")
                 .arg(m_prompt->systemName.value_or(QStringLiteral("system default"))));
    }
    finishPrompt();
}

void BluetoothMicrophoneMonitor::presentNext()
{
    if (m_prompt || m_queuedPrompts.isEmpty())
        return;
    BluetoothMicrophonePrompt next = m_queuedPrompts.takeFirst();
    m_promptedDeviceIDs.insert(next.bluetoothUniqueID);
    QStringList sorted(m_promptedDeviceIDs.begin(), m_promptedDeviceIDs.end());
    sorted.sort();
    m_defaults.set(QString::fromLatin1(kPromptedKey), sorted);
    m_prompt = std::move(next);
    Q_EMIT promptChanged();
    scheduleDismissal();
}

void BluetoothMicrophoneMonitor::finishPrompt()
{
    m_prompt.reset();
    cancelDismissal();
    Q_EMIT promptChanged();
    presentNext();
}

void BluetoothMicrophoneMonitor::scheduleDismissal()
{
    cancelDismissal();
    const QString shown = m_prompt ? m_prompt->bluetoothUniqueID : QString();
    m_dismissal = m_scheduler.scheduleWake(m_displayDuration, [this, shown] {
        m_dismissal.reset();
        if (m_prompt && m_prompt->bluetoothUniqueID == shown) {
            info(QStringLiteral("Bluetooth microphone notification dismissed automatically after five seconds"));
            finishPrompt();
        }
    });
}

void BluetoothMicrophoneMonitor::cancelDismissal()
{
    if (m_dismissal)
        m_scheduler.cancelWake(*std::exchange(m_dismissal, std::nullopt));
}

} // namespace dravelin
