#include "hotkeys/RecordingMode.h"

#include "core/UserDefaults.h"

namespace dravelin {

namespace recordingMode {

QString rawValue(RecordingMode mode)
{
    return mode == RecordingMode::toggle ? QStringLiteral("toggle") : QStringLiteral("holdOrDoubleTap");
}

QString label(RecordingMode mode)
{
    return mode == RecordingMode::toggle ? QStringLiteral("Toggle") : QStringLiteral("Hold or double-tap");
}

QString description(RecordingMode mode)
{
    return mode == RecordingMode::toggle
               ? QStringLiteral("Press the hotkey once to start, again to stop and transcribe.")
               : QStringLiteral("Press and hold to speak, release to stop and transcribe, or double-tap to start "
                                "hands-free.");
}

RecordingMode persisted(const UserDefaults &defaults)
{
    const QString raw = defaults.string(QString::fromLatin1(kDefaultsKey)).value_or(QStringLiteral("toggle"));
    if (raw == u"holdOrDoubleTap" || raw == u"holdToTalk" || raw == u"doubleTap")
        return RecordingMode::holdOrDoubleTap;
    return RecordingMode::toggle;
}

void persist(RecordingMode mode, UserDefaults &defaults)
{
    defaults.set(QString::fromLatin1(kDefaultsKey), rawValue(mode));
}

} // namespace recordingMode

namespace bareModifier {

std::optional<BareModifier> from(quint16 keyCode)
{
    switch (keyCode) {
    case 54:
    case 55:
        return BareModifier::command;
    case 56:
    case 60:
        return BareModifier::shift;
    case 58:
    case 61:
        return BareModifier::option;
    case 59:
    case 62:
        return BareModifier::control;
    case 63:
        return BareModifier::fn;
    default:
        return std::nullopt;
    }
}

} // namespace bareModifier

} // namespace dravelin
