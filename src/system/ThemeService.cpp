#include "system/ThemeService.h"

#include "core/Log.h"
#include "core/UserDefaults.h"
#include "platform/Appearance.h"

namespace dravelin {

ThemeService::ThemeService(UserDefaults &defaults, Appearance &appearance, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_appearance(appearance)
{
    const QString key = QString::fromLatin1(kModeKey);
    const auto stored = m_defaults.string(key);
    m_mode = stored == QStringLiteral("dark") ? Mode::dark : Mode::light;
    if (stored != rawValue(m_mode))
        m_defaults.set(key, rawValue(m_mode));
}

QString ThemeService::rawValue(Mode mode)
{
    return mode == Mode::dark ? QStringLiteral("dark") : QStringLiteral("light");
}

void ThemeService::setMode(Mode mode)
{
    const bool changed = mode != m_mode;
    m_mode = mode;
    m_defaults.set(QString::fromLatin1(kModeKey), rawValue(mode));
    apply();
    if (changed)
        Q_EMIT modeChanged();
}

void ThemeService::apply()
{
    m_appearance.apply(m_mode == Mode::dark);
    logs::info(logs::theme(), QStringLiteral("Theme applied: %1").arg(rawValue(m_mode)));
}

} // namespace dravelin
