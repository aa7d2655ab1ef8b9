#pragma once

#include <QString>

#include <functional>

namespace dravelin {

// Plays short named event sounds from the desktop's sound theme.
class SoundPlayer
{
public:
    enum class Outcome {
        played,
        notFound,
        failed
    };
    using Completion = std::function<void(Outcome, QString detail)>;

    virtual ~SoundPlayer() = default;

    // Where named sounds are looked up, for messages ("/usr/share/sounds").
    virtual QString soundLocation() const = 0;
    // Starts playing and returns at once. `done`, if set, is called on the
    // main thread with the outcome.
    virtual void play(const QString &name, Completion done) = 0;
};

} // namespace dravelin
