#pragma once

#include "core/Scheduler.h"
#include "core/SerialQueue.h"
#include "core/Tasks.h"
#include "platform/AudioCapture.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>

namespace dravelin {

class UserDefaults;

// A Bluetooth microphone that just connected, and the input recommended
// instead of it (none when every input is Bluetooth).
struct BluetoothMicrophonePrompt
{
    QString bluetoothUniqueID;
    QString bluetoothName;
    std::optional<QString> systemUniqueID;
    std::optional<QString> systemName;

    bool operator==(const BluetoothMicrophonePrompt &) const = default;
};

enum class BluetoothMicrophoneChoice {
    bluetoothMicrophone,
    systemMicrophone,
};

namespace AudioInputDevice {

// The connected Bluetooth microphones (monitors of outputs are not microphones).
QList<AudioInputInfo> connectedBluetoothCaptureDevices(const QList<AudioInputInfo> &devices);
// The input to recommend instead of `excludedID`: the default input when it is
// a candidate, else the first built-in one, else the first one; candidates are
// the microphones other than `excludedID` that are not Bluetooth.
std::optional<AudioInputInfo> preferredSystemCaptureDevice(const QList<AudioInputInfo> &devices,
                                                           const std::optional<AudioInputInfo> &defaultDevice,
                                                           const QString &excludedID);

} // namespace AudioInputDevice

// A Bluetooth headset used as a microphone usually drops into a low-quality
// call mode that hurts recognition. When one connects, this shows one prompt
// per device (ever) that recommends the computer's own microphone and lets the
// user pick either. Prompts wait in a queue; one is on screen at a time and
// goes away by itself after `displayDuration`.
//
// Device changes come from the sound server's events; each one re-reads the
// device list on a queue of its own and compares it with the last one.
// Main-thread only.
class BluetoothMicrophoneMonitor final : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kPromptedKey = "bluetoothMicrophone.promptedDeviceIDs";
    static constexpr Millis defaultDisplayDuration{5000};

    BluetoothMicrophoneMonitor(UserDefaults &defaults, Scheduler &scheduler, AudioCaptureBackend &backend,
                               const QueueFactory &queues = {}, Millis displayDuration = defaultDisplayDuration,
                               QObject *parent = nullptr);
    ~BluetoothMicrophoneMonitor() override;

    // Watches the devices and treats every Bluetooth microphone already
    // connected as just connected. Once only.
    void start();

    // The prompt on screen.
    const std::optional<BluetoothMicrophonePrompt> &prompt() const { return m_prompt; }
    void choose(BluetoothMicrophoneChoice choice);

    // The device events, after the device lists were compared.
    void deviceConnected(const QString &uniqueID, const QString &name, const std::optional<QString> &systemUniqueID,
                         const std::optional<QString> &systemName);
    void deviceDisconnected(const QString &uniqueID, const QString &name);

Q_SIGNALS:
    void promptChanged();

private:
    struct Snapshot
    {
        QList<AudioInputInfo> devices;
        std::optional<AudioInputInfo> defaultDevice;
    };
    void refresh();
    void apply(const Snapshot &snapshot);
    void presentNext();
    void finishPrompt();
    void scheduleDismissal();
    void cancelDismissal();

    UserDefaults &m_defaults;
    Scheduler &m_scheduler;
    AudioCaptureBackend &m_backend;
    std::unique_ptr<SerialQueue> m_queue;
    Millis m_displayDuration;
    bool m_started = false;
    bool m_refreshing = false;
    bool m_refreshAgain = false;

    std::optional<BluetoothMicrophonePrompt> m_prompt;
    QSet<QString> m_connectedIDs;
    QSet<QString> m_promptedDeviceIDs;
    QList<BluetoothMicrophonePrompt> m_queuedPrompts;
    QHash<QString, QString> m_bluetoothNames; // connected Bluetooth microphones by ID, from the last list
    std::optional<Scheduler::WakeId> m_dismissal;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true); // read on the main thread only
    TaskTracker m_tasks;
};

} // namespace dravelin
