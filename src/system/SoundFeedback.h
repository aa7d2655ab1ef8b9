#pragma once

#include <QObject>
#include <QString>

namespace dravelin {

class SoundPlayer;
class UserDefaults;

// Short sounds at the turning points of a recording session.
class SoundFeedback : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
public:
    enum class Cue {
        start = 0,   // capture has started
        stop = 1,    // the user stopped a recording that goes on to be processed
        discard = 2, // a recording ends with nothing to deliver
        error = 3,   // capture failed to start, or a request failed
    };

    static constexpr const char *kEnabledKey = "sounds.enabled";

    // Registers the default of "sounds.enabled" (true).
    SoundFeedback(UserDefaults &defaults, SoundPlayer &player, QObject *parent = nullptr);

    bool enabled() const;
    void setEnabled(bool enabled);

    // Plays the cue's sound unless sounds are off. Never blocks.
    void play(Cue cue);

    // The sound-theme event each cue plays.
    static QString soundName(Cue cue);

Q_SIGNALS:
    void enabledChanged();

private:
    UserDefaults &m_defaults;
    SoundPlayer &m_player;
};

} // namespace dravelin
