#pragma once

#include <QLoggingCategory>
#include <QString>

// Every component logs under the subsystem "com.dravelin.mac" with its own
// category, so the Logs screen and the journal can tell them apart.
#define DRAVELIN_LOG_CATEGORIES(X)                                                                                     \
    X(pipeline, "pipeline")                                                                                            \
    X(container, "container")                                                                                          \
    X(app, "app")                                                                                                      \
    X(firstRun, "first-run")                                                                                           \
    X(hotkey, "hotkey")                                                                                                \
    X(bareModListener, "bare-mod-listener")                                                                            \
    X(askHotkey, "ask-hotkey")                                                                                         \
    X(audioDevice, "audio-device")                                                                                     \
    X(audioRecorder, "audio-recorder")                                                                                 \
    X(streamingRecorder, "streaming-recorder")                                                                         \
    X(liveCapture, "live-capture")                                                                                     \
    X(liveWs, "live-ws")                                                                                               \
    X(micMeter, "mic-meter")                                                                                           \
    X(micMonitor, "mic-monitor")                                                                                       \
    X(indicator, "indicator")                                                                                          \
    X(bluetoothMicrophone, "bluetooth-microphone")                                                                     \
    X(transcribe, "transcribe")                                                                                        \
    X(cleanup, "cleanup")                                                                                              \
    X(cleanupLocal, "cleanup-local")                                                                                   \
    X(rewrite, "rewrite")                                                                                              \
    X(assistant, "assistant")                                                                                          \
    X(transforms, "transforms")                                                                                        \
    X(vocabulary, "vocabulary")                                                                                        \
    X(vocabularyRemote, "vocabulary-remote")                                                                           \
    X(vocabularyStore, "vocabulary-store")                                                                             \
    X(paste, "paste")                                                                                                  \
    X(clipboardHistory, "clipboard-history")                                                                           \
    X(clipboardStore, "clipboard-store")                                                                               \
    X(recordingStore, "recording-store")                                                                               \
    X(recordingUpload, "recording-upload")                                                                             \
    X(audioPlayback, "audio-playback")                                                                                 \
    X(pending, "pending")                                                                                              \
    X(usage, "usage")                                                                                                  \
    X(quality, "quality")                                                                                              \
    X(auth, "auth")                                                                                                    \
    X(keychain, "keychain")                                                                                            \
    X(admin, "admin")                                                                                                  \
    X(permissions, "permissions")                                                                                      \
    X(launchAtLogin, "launch-at-login")                                                                                \
    X(updates, "updates")                                                                                              \
    X(theme, "theme")                                                                                                  \
    X(sounds, "sounds")

namespace dravelin::logs {

inline constexpr const char *kSubsystem = "com.dravelin.mac";

#define DRAVELIN_DECLARE_CATEGORY(fn, name) const QLoggingCategory &fn();
DRAVELIN_LOG_CATEGORIES(DRAVELIN_DECLARE_CATEGORY)
#undef DRAVELIN_DECLARE_CATEGORY

// The component name of a Qt category ("com.dravelin.mac.pipeline" -> "pipeline"),
// or an empty string for categories outside the subsystem.
QString componentOf(const char *categoryName);

// Marks a value as private: persisted logs show "<private>" in its place.
QString priv(const QString &value);

// Replaces every private value in a message with "<private>".
QString redacted(const QString &message);

// Drops the private markers and keeps the values (for the user's own terminal).
QString revealed(const QString &message);

void info(const QLoggingCategory &category, const QString &message);
void error(const QLoggingCategory &category, const QString &message);
void debug(const QLoggingCategory &category, const QString &message);

} // namespace dravelin::logs
