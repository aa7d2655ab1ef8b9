#pragma once

#include "account/AppConstants.h"
#include "pipeline/RecordingPipeline.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace dravelin {

class AuthService;

// The dictation pipeline wired as the app wires it — recorder, backend
// clients, cleanup, paste, history, recordings — but driven without hotkeys
// or a tray: start() and stop() stand in for the record hotkey.
class HeadlessDictation : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        std::optional<QString> inputFile; // play this file as the microphone; none: the real microphone
        bool pasteOnDesktop = false;      // paste into the focused X11 window; otherwise present the text
        QString settingsPath;             // the user's settings file
        QString dataRoot;                 // history and recordings live here
    };

    HeadlessDictation(Options options, AuthService &auth, Scheduler &scheduler, QObject *parent = nullptr);
    ~HeadlessDictation() override;

    // Switches history to the signed-in user; call once signed in.
    QCoro::Task<> attachHistory();
    QCoro::Task<bool> start();
    // Waits while the pipeline records, at most `duration` (the length cap
    // can end it sooner).
    QCoro::Task<> recordFor(Millis duration);
    QCoro::Task<> stop();
    // Waits (up to `limit`) for side work to end: the delivery, recording
    // uploads, recordings being written to the history, quality reports
    // (one may wait 2 s for its retry).
    QCoro::Task<> drain(Millis limit);
    RecordingPipeline &pipeline();
    // The file's length, when the microphone is a file.
    qint64 inputDurationMs() const;
    // What the indicator showed last ("done", "result(…)", "error(…)").
    QString lastIndicator() const;
    // The same in words for a person: the message ("No speech detected"),
    // or the state's name when it carries none ("done").
    QString lastMessage() const;
    // The history, for reading what was remembered.
    class ClipboardHistory &history();
    // The signed-in user's recordings waiting to be sent again.
    class PendingTranscriptions &pending();
    class UserDefaults &defaults();

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace dravelin
