#pragma once

#include "core/AsyncEvent.h"
#include "output/Pasting.h"
#include "platform/Accessibility.h"
#include "platform/KeySynthesizer.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"

#include <QObject>

namespace dravelin {

class Scheduler;

// Puts text into the focused field the way a user would: onto the clipboard,
// Ctrl+V, then the user's clipboard back. Also swaps a just-pasted raw text
// for its cleaned version, and probes whether anything editable has focus.
// Main thread only; all waits are scheduler sleeps.
class PasteService final : public QObject, public Pasting
{
    Q_OBJECT
public:
    static constexpr int kMaxSwapCharacters = 4000;

    PasteService(KeySynthesizer &keys, Pasteboard &pasteboard, Workspace &workspace,
                 AccessibilityInspector &accessibility, Scheduler &scheduler, QObject *parent = nullptr);

    QCoro::Task<> paste(QString text, std::optional<QString> targetBundleID, bool keepOnClipboard) override;
    QCoro::Task<bool> replacePastedText(QString raw, QString cleaned, std::optional<QString> targetBundleID,
                                        bool keepOnClipboard) override;
    QCoro::Task<EditableFocus> focusedEditableTarget(std::optional<QString> expectedBundleID) override;
    QCoro::Task<> waitForModifiersToClear() override;

    // Terminal emulators: paste is Ctrl+Shift+V there, and typed text cannot be undone.
    static const QSet<QString> &terminalApplicationIDs();
    static bool isTerminal(const std::optional<QString> &applicationID);
    // How many Shift+Left presses select `text` back: its user-visible
    // characters (graphemes), not its UTF-16 units.
    static int cursorSteps(const QString &text);
    // The keystroke that pastes into the application.
    static PasteKeys pasteKeys(const std::optional<QString> &applicationID);

private:
    QCoro::Task<> activateIfNeeded(std::optional<QString> targetBundleID);
    // After the paste keystroke's pause, until the target has read the text
    // (bounded), so a slow application does not get the restored clipboard.
    // After the paste keys: until the target has read the clipboard (or long
    // enough that it could have), so restoring it cannot come first.
    // Both wait for reads of the clipboard after m_fetchBaseline.
    QCoro::Task<> waitAfterPaste();
    QCoro::Task<> waitForFetch();
    QCoro::Task<EditableFocusClassifier::PasteCommandEvidence> pasteCommandEvidence(qint64 pid);
    QCoro::Task<EditableFocus> judge(AccessibleLookup element, qint64 pid);

    KeySynthesizer &m_keys;
    Pasteboard &m_pasteboard;
    Workspace &m_workspace;
    AccessibilityInspector &m_accessibility;
    Scheduler &m_scheduler;
    AsyncTurnstile m_turns;
    int m_fetchBaseline = 0; // the clipboard's reads counted before the last paste keystroke
};

} // namespace dravelin
