#pragma once

#include <QString>

#include <array>
#include <optional>

namespace dravelin {

class UserDefaults;

// How the record hotkey starts and stops a dictation.
enum class RecordingMode {
    toggle,          // press once to start, again to stop and transcribe
    holdOrDoubleTap, // hold to talk, or double-tap for hands-free
};

inline constexpr std::array<RecordingMode, 2> kAllRecordingModes{RecordingMode::toggle, RecordingMode::holdOrDoubleTap};

namespace recordingMode {

inline constexpr const char *kDefaultsKey = "recording.mode";

QString rawValue(RecordingMode mode);
QString label(RecordingMode mode);
QString description(RecordingMode mode);

// Reads "recording.mode": missing or unknown values read as toggle; the older
// "holdToTalk" and "doubleTap" read as holdOrDoubleTap.
RecordingMode persisted(const UserDefaults &defaults);
void persist(RecordingMode mode, UserDefaults &defaults);

} // namespace recordingMode

// A modifier key pressed alone.
enum class BareModifier {
    command,
    shift,
    option,
    control,
    fn
};

namespace bareModifier {
// The bare modifier of a modifier key code; nothing for every other code.
std::optional<BareModifier> from(quint16 keyCode);
} // namespace bareModifier

} // namespace dravelin
