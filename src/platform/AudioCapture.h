#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace dravelin {

// An audio input as the sound server lists it.
struct AudioInputInfo
{
    QString uniqueID;           // stable across restarts (the source name)
    QString name;               // for people
    bool isBluetooth = false;   // carried over a Bluetooth link
    bool isMonitor = false;     // the monitor of an output, not a microphone
    int hardwareSampleRate = 0; // the device's own rate, 0 when unknown
    bool isBuiltIn = false;     // part of the computer (an internal sound card)

    bool operator==(const AudioInputInfo &) const = default;
};

// Whether this process may record.
enum class MicAuthorization {
    authorized,  // a sound server answers
    denied,      // the sound server refuses access
    unavailable, // no sound server answers
};

// One block of captured audio exactly as the server delivered it.
struct AudioBlock
{
    QByteArray bytes;
    int sampleRate = 0;
    int channels = 0;
    bool isFloat = false;
};

// An opened device input. Blocks arrive on the back end's own thread, in
// order, while the stream runs.
class AudioCaptureStream
{
public:
    virtual ~AudioCaptureStream() = default;
    virtual AudioInputInfo device() const = 0;
    // Called once, before startRunning(); the handler runs on the back end's thread.
    virtual void setBlockHandler(std::function<void(AudioBlock)> handler) = 0;
    // Called when the stream fails after it was opened (the server went away,
    // the device was removed), with the reason; on the back end's thread.
    virtual void setErrorHandler(std::function<void(QString)> handler) = 0;
    virtual void startRunning() = 0;
    // Stops delivering and drops audio not yet delivered.
    virtual void stopRunning() = 0;
    virtual bool isRunning() const = 0;
};

// The platform's capture stack: devices, their default, opening one, and the
// authorization status. Blocking calls; run them off the main thread.
class AudioCaptureBackend
{
public:
    virtual ~AudioCaptureBackend() = default;
    virtual MicAuthorization authorization() = 0;
    virtual QList<AudioInputInfo> inputDevices() = 0;
    virtual std::optional<AudioInputInfo> defaultDevice() = 0;
    // Opens a capture of 16 kHz mono 32-bit float from the device, not yet
    // running. Nothing and a reason on failure.
    virtual std::unique_ptr<AudioCaptureStream> open(const AudioInputInfo &device, QString &error) = 0;
    // Calls `onChange` on the back end's own thread whenever an input appears
    // or goes away, and when the link to the sound server is lost (the
    // device list is then worth reading again). Replaces an earlier handler;
    // an empty one stops the calls.
    virtual void watchDevices(std::function<void()> onChange) = 0;
};

} // namespace dravelin
