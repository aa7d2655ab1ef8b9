#include "system/SoundFeedback.h"

#include "core/Log.h"
#include "core/UserDefaults.h"
#include "platform/SoundPlayer.h"

namespace dravelin {

SoundFeedback::SoundFeedback(UserDefaults &defaults, SoundPlayer &player, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_player(player)
{
    m_defaults.registerDefaults({{QString::fromLatin1(kEnabledKey), true}});
    connect(&m_defaults, &UserDefaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String(kEnabledKey))
            Q_EMIT enabledChanged();
    });
}

bool SoundFeedback::enabled() const
{
    return m_defaults.boolValue(QString::fromLatin1(kEnabledKey), true);
}

void SoundFeedback::setEnabled(bool enabled)
{
    m_defaults.set(QString::fromLatin1(kEnabledKey), enabled);
}

QString SoundFeedback::soundName(Cue cue)
{
    // Distinct freedesktop sound-theme events, one per cue.
    switch (cue) {
    case Cue::start:
        return QStringLiteral("message-new-instant");
    case Cue::stop:
        return QStringLiteral("complete");
    case Cue::discard:
        return QStringLiteral("trash-empty");
    case Cue::error:
        return QStringLiteral("dialog-error");
    }
    return {};
}

void SoundFeedback::play(Cue cue)
{
    if (!enabled())
        return;
    const QString name = soundName(cue);
    const QString location = m_player.soundLocation();
    m_player.play(name, [name, location](SoundPlayer::Outcome outcome, const QString &detail) {
        if (outcome == SoundPlayer::Outcome::notFound)
            logs::error(logs::sounds(), QStringLiteral("Sound '%1' not found in %2").arg(name, location));
        else if (outcome == SoundPlayer::Outcome::failed)
            logs::debug(logs::sounds(), QStringLiteral("Sound '%1' could not play: %2").arg(name, detail));
    });
}

} // namespace dravelin
