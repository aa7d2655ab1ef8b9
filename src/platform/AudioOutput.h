#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace dravelin {

// One loaded sound on the speakers.
class AudioPlayback
{
public:
    virtual ~AudioPlayback() = default;
    // Starts or resumes; false when the sound system refused.
    virtual bool play() = 0;
    virtual void pause() = 0;
    // Stops for good; no callback follows.
    virtual void stop() = 0;
    virtual bool isPlaying() const = 0;

    // Called from the playback thread: the end was reached (true), or the
    // sound system failed on the way (false, with the reason in onError).
    std::function<void(bool completed)> onFinished;
    std::function<void(const QString &error)> onError;
};

// The default speakers.
class AudioOutput
{
public:
    virtual ~AudioOutput() = default;
    // Mono float samples at `sampleRate`; nothing when no output can be opened.
    virtual std::unique_ptr<AudioPlayback> load(std::vector<float> samples, int sampleRate, QString *error) = 0;
};

} // namespace dravelin
