#include "output/PasteService.h"

#include "core/Log.h"
#include "core/Scheduler.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QTextBoundaryFinder>

namespace dravelin {

namespace {

using namespace std::chrono_literals;
using Classifier = EditableFocusClassifier::ElementEvidence;
using PasteEvidence = EditableFocusClassifier::PasteCommandEvidence;

constexpr Millis kAfterActivate{60};
constexpr Millis kModifierPoll{20};
constexpr Millis kModifierDeadline{500};
constexpr Millis kAfterPaste{250};
// A busy application may read the clipboard later than the fixed pause; the
// text stays until it has, this long at most.
constexpr Millis kFetchGrace{2000};
constexpr Millis kFetchPoll{10};
// After the target read the clipboard, before it is restored.
constexpr Millis kAfterFetch{40};
constexpr Millis kAfterSelect{40};
constexpr Millis kAfterCopy{90};
constexpr Millis kWakePoll{50};
constexpr int kWakePolls = 4;
constexpr Millis kAfterSecondWake{50};
constexpr Millis kAfterPlaceholder{20};

void info(const QString &message)
{
    logs::info(logs::paste(), message);
}

void error(const QString &message)
{
    logs::error(logs::paste(), message);
}

void debug(const QString &message)
{
    logs::debug(logs::paste(), message);
}

// Chromium-based applications (Electron ones included) build their
// accessibility tree lazily and often report no focused element at first.
bool isElectronApplication(qint64 pid)
{
    const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().toLower();
    if (exe.contains(QLatin1String("electron")) || exe.contains(QLatin1String("chrom")))
        return true;
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return cmdline.open(QIODevice::ReadOnly) && cmdline.read(65536).contains("app.asar");
}

bool isNoValue(const AccessibleLookup &lookup)
{
    return lookup.kind == AccessibleLookup::Kind::noValue;
}

} // namespace

PasteService::PasteService(KeySynthesizer &keys, Pasteboard &pasteboard, Workspace &workspace,
                           AccessibilityInspector &accessibility, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_keys(keys)
    , m_pasteboard(pasteboard)
    , m_workspace(workspace)
    , m_accessibility(accessibility)
    , m_scheduler(scheduler)
{}

const QSet<QString> &PasteService::terminalApplicationIDs()
{
    // WM_CLASS classes, lower-cased.
    static const QSet<QString> ids{QStringLiteral("gnome-terminal-server"),
                                   QStringLiteral("gnome-terminal"),
                                   QStringLiteral("org.gnome.console"),
                                   QStringLiteral("kgx"),
                                   QStringLiteral("org.gnome.ptyxis"),
                                   QStringLiteral("konsole"),
                                   QStringLiteral("xterm"),
                                   QStringLiteral("uxterm"),
                                   QStringLiteral("urxvt"),
                                   QStringLiteral("rxvt"),
                                   QStringLiteral("kitty"),
                                   QStringLiteral("alacritty"),
                                   QStringLiteral("org.wezfurlong.wezterm"),
                                   QStringLiteral("foot"),
                                   QStringLiteral("terminator"),
                                   QStringLiteral("tilix"),
                                   QStringLiteral("com.gexperts.tilix"),
                                   QStringLiteral("xfce4-terminal"),
                                   QStringLiteral("lxterminal"),
                                   QStringLiteral("mate-terminal"),
                                   QStringLiteral("qterminal"),
                                   QStringLiteral("st"),
                                   QStringLiteral("st-256color"),
                                   QStringLiteral("terminology"),
                                   QStringLiteral("guake"),
                                   QStringLiteral("yakuake"),
                                   QStringLiteral("tilda"),
                                   QStringLiteral("cool-retro-term"),
                                   QStringLiteral("com.mitchellh.ghostty"),
                                   QStringLiteral("ghostty"),
                                   QStringLiteral("contour"),
                                   QStringLiteral("blackbox"),
                                   QStringLiteral("com.raggesilver.blackbox")};
    return ids;
}

bool PasteService::isTerminal(const std::optional<QString> &applicationID)
{
    return applicationID && terminalApplicationIDs().contains(applicationID->toLower());
}

PasteKeys PasteService::pasteKeys(const std::optional<QString> &applicationID)
{
    // Terminals without a clipboard-paste key: Shift+Insert pastes the
    // primary selection there.
    static const QSet<QString> primaryOnly{QStringLiteral("xterm"), QStringLiteral("uxterm"),
                                           QStringLiteral("urxvt"), QStringLiteral("rxvt"),
                                           QStringLiteral("st"),    QStringLiteral("st-256color")};
    if (!isTerminal(applicationID))
        return PasteKeys::ctrlV;
    return primaryOnly.contains(applicationID->toLower()) ? PasteKeys::shiftInsert : PasteKeys::ctrlShiftV;
}

QCoro::Task<> PasteService::waitAfterPaste()
{
    Pasteboard &pasteboard = m_pasteboard;
    Scheduler &scheduler = m_scheduler;
    const int baseline = m_fetchBaseline;
    const auto fetched = [&pasteboard, baseline] { return pasteboard.fetchCount().value_or(0) - baseline; };
    if (!pasteboard.fetchCount()) {
        // No way to see the target read the clipboard: give it the time
        // applications usually need.
        co_await scheduler.sleep(kAfterPaste);
        co_await waitForFetch();
        co_return;
    }
    // The text is in the document once the target has read the clipboard;
    // a short settle covers a second format read right after the first.
    const Millis start = scheduler.monotonicNow();
    while (fetched() == 0 && scheduler.monotonicNow() - start < kAfterPaste)
        co_await scheduler.sleep(kFetchPoll);
    if (fetched() > 0) {
        debug(QStringLiteral("Paste target read the clipboard after %1 ms")
                  .arg((scheduler.monotonicNow() - start).count()));
        co_await scheduler.sleep(kAfterFetch);
        co_return;
    }
    co_await waitForFetch();
}

QCoro::Task<> PasteService::waitForFetch()
{
    Pasteboard &pasteboard = m_pasteboard;
    Scheduler &scheduler = m_scheduler;
    const int baseline = m_fetchBaseline;
    const auto fetched = [&pasteboard, baseline] { return pasteboard.fetchCount().value_or(0) - baseline; };
    if (!pasteboard.fetchCount() || fetched() > 0)
        co_return;
    const Millis start = scheduler.monotonicNow();
    while (fetched() == 0 && scheduler.monotonicNow() - start < kFetchGrace)
        co_await scheduler.sleep(kFetchPoll);
    const qint64 waited = (scheduler.monotonicNow() - start).count();
    if (fetched() == 0)
        info(QStringLiteral("Paste target did not read the clipboard within %1 ms more").arg(waited));
    else
        info(QStringLiteral("Paste target read the clipboard %1 ms after the pause").arg(waited));
}

QCoro::Task<> PasteService::waitForModifiersToClear()
{
    Scheduler &scheduler = m_scheduler;
    KeySynthesizer &keys = m_keys;
    const Millis start = scheduler.monotonicNow();
    const Millis deadline = start + kModifierDeadline;
    while (scheduler.monotonicNow() < deadline && keys.modifiersHeld())
        co_await scheduler.sleep(kModifierPoll);
    const qint64 elapsed = (scheduler.monotonicNow() - start).count();
    if (keys.modifiersHeld())
        info(QStringLiteral("Modifier-clear deadline hit after %1 ms; posting anyway").arg(elapsed));
    else
        info(QStringLiteral("Waited %1 ms for modifiers to clear").arg(elapsed));
}

QCoro::Task<> PasteService::activateIfNeeded(std::optional<QString> targetBundleID)
{
    if (!targetBundleID || m_workspace.frontmostApplicationID() == targetBundleID)
        co_return;
    if (!m_workspace.activate(*targetBundleID)) {
        info(QStringLiteral("Paste target %1 no longer running; pasting into current frontmost app")
                 .arg(*targetBundleID));
        co_return;
    }
    co_await m_scheduler.sleep(kAfterActivate);
    info(QStringLiteral("Re-activated paste target %1 before pasting").arg(*targetBundleID));
}

QCoro::Task<> PasteService::paste(QString text, std::optional<QString> targetBundleID, bool keepOnClipboard)
{
    if (text.isEmpty()) {
        error(QStringLiteral("Empty text; skipping paste"));
        co_return;
    }
    QPointer<PasteService> self(this);
    // One paste or swap at a time: each owns the clipboard and the keyboard
    // from setting the text to restoring the user's clipboard.
    auto turn = m_turns.take();
    if (turn.previous) {
        co_await turn.previous->wait();
        if (!self)
            co_return;
    }
    const auto ticket = turn.ticket();
    if (!m_keys.canPost())
        error(QStringLiteral("Accessibility permission not granted; ⌘V will be dropped"));
    co_await activateIfNeeded(targetBundleID);
    if (!self)
        co_return;

    const std::optional<QString> previous = m_pasteboard.string();
    m_pasteboard.clearContents();
    m_pasteboard.setString(text);
    const PasteKeys keys = pasteKeys(m_workspace.frontmostApplicationID());
    std::optional<QString> previousSelection;
    if (keys == PasteKeys::shiftInsert) {
        previousSelection = m_pasteboard.selectionString();
        m_pasteboard.setSelectionString(text);
    }
    co_await waitForModifiersToClear();
    if (!self)
        co_return;
    // Reads before the keystroke are a clipboard manager's, not the target's.
    m_fetchBaseline = m_pasteboard.fetchCount().value_or(0);
    m_keys.postPaste(keys);
    co_await waitAfterPaste();
    if (!self)
        co_return;
    if (previousSelection)
        m_pasteboard.setSelectionString(*previousSelection);

    if (!keepOnClipboard) {
        m_pasteboard.clearContents();
        if (previous)
            m_pasteboard.setString(*previous);
        info(QStringLiteral("Pasted %1 chars; clipboard restored").arg(text.size()));
    } else {
        info(QStringLiteral("Pasted %1 chars; transcription kept on clipboard").arg(text.size()));
    }
}

int PasteService::cursorSteps(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int steps = 0;
    while (finder.toNextBoundary() > 0)
        ++steps;
    return steps;
}

QCoro::Task<bool> PasteService::replacePastedText(QString raw, QString cleaned, std::optional<QString> targetBundleID,
                                                  bool keepOnClipboard)
{
    if (raw.isEmpty() || raw == cleaned)
        co_return false;
    // Shift+Left moves over one user-visible character (a grapheme: "👍" is
    // two UTF-16 units, a flag four), so the selection counts those.
    const int steps = cursorSteps(raw);
    if (steps > std::min(kMaxSwapCharacters, m_keys.maxSelectBackward())) {
        info(QStringLiteral("Swap skipped — transcript too long (%1 chars) to safely re-select").arg(steps));
        co_return false;
    }
    const auto frontmost = m_workspace.frontmostApplicationID();
    if (targetBundleID && frontmost != targetBundleID) {
        info(QStringLiteral("Swap skipped — %1 no longer frontmost; keeping raw").arg(*targetBundleID));
        co_return false;
    }
    if (!m_keys.canPost()) {
        error(QStringLiteral("Accessibility not granted; skipping swap and keeping raw"));
        co_return false;
    }
    QPointer<PasteService> self(this);
    auto turn = m_turns.take();
    if (turn.previous) {
        co_await turn.previous->wait();
        if (!self)
            co_return false;
    }
    const auto ticket = turn.ticket();
    const bool terminal = isTerminal(frontmost);
    const PasteKeys keys = pasteKeys(frontmost);
    co_await waitForModifiersToClear();
    if (!self)
        co_return false;

    const PasteboardSnapshot snapshot = m_pasteboard.snapshot();
    m_keys.postSelectBackward(steps);
    co_await m_scheduler.sleep(kAfterSelect);
    if (!self)
        co_return false;
    const qint64 before = m_pasteboard.changeCount();
    m_keys.postCopy(terminal);
    co_await m_scheduler.sleep(kAfterCopy);
    if (!self)
        co_return false;

    const bool copied = m_pasteboard.changeCount() != before;
    const std::optional<QString> selection = m_pasteboard.string();
    if (!copied || !selection || *selection != raw) {
        m_keys.postCollapseSelection();
        m_pasteboard.restore(snapshot);
        info(QStringLiteral("Swap aborted — selection mismatch (copied=%1, len=%2); keeping raw")
                 .arg(copied ? 1 : 0)
                 .arg(selection ? selection->size() : -1));
        co_return false;
    }

    m_pasteboard.clearContents();
    m_pasteboard.setString(cleaned);
    co_await waitForModifiersToClear();
    if (!self)
        co_return false;
    m_fetchBaseline = m_pasteboard.fetchCount().value_or(0);
    m_keys.postPaste(keys);
    co_await m_scheduler.sleep(kAfterPaste);
    if (!self)
        co_return false;
    co_await waitForFetch();
    if (!self)
        co_return false;
    if (!keepOnClipboard) {
        m_pasteboard.restore(snapshot);
        info(QStringLiteral("Swapped raw→cleaned (%1 chars); clipboard restored").arg(cleaned.size()));
    } else {
        info(QStringLiteral("Swapped raw→cleaned (%1 chars); cleaned kept on clipboard").arg(cleaned.size()));
    }
    co_return true;
}

QCoro::Task<EditableFocusClassifier::PasteCommandEvidence> PasteService::pasteCommandEvidence(qint64 pid)
{
    // Paste commands are often enabled only while the clipboard holds
    // something; put a space there while looking, then put everything back.
    QPointer<PasteService> self(this);
    Pasteboard &pasteboard = m_pasteboard;
    const PasteboardSnapshot snapshot = pasteboard.snapshot();
    pasteboard.clearContents();
    pasteboard.setString(QStringLiteral(" "));
    // However the probe ends (an early return, a failing inspector), the
    // user's clipboard comes back. Only when the service itself is gone is it
    // left alone: the pasteboard belongs to the same owner and may be gone too.
    const auto restore = qScopeGuard([self, &pasteboard, &snapshot] {
        if (self)
            pasteboard.restore(snapshot);
    });
    co_await m_scheduler.sleep(kAfterPlaceholder);
    if (!self)
        co_return PasteEvidence::unavailable;
    const auto enabled = co_await m_accessibility.pasteCommandEnabled(pid);
    if (!self)
        co_return PasteEvidence::unavailable;
    if (!enabled)
        co_return PasteEvidence::unavailable;
    co_return *enabled ? PasteEvidence::enabled : PasteEvidence::disabled;
}

QCoro::Task<EditableFocus> PasteService::judge(AccessibleLookup element, qint64 pid)
{
    using namespace EditableFocusClassifier;
    if (element.kind == AccessibleLookup::Kind::unavailable)
        co_return EditableFocus::unknown;
    if (isNoValue(element)) {
        const PasteEvidence evidence = co_await pasteCommandEvidence(pid);
        if (evidence != PasteEvidence::unavailable) {
            const bool on = evidence == PasteEvidence::enabled;
            info(QStringLiteral("Focus probe: focused element unavailable; Cmd-V menu is %1")
                     .arg(on ? QStringLiteral("enabled") : QStringLiteral("disabled")));
            co_return on ? EditableFocus::editable : EditableFocus::notEditable;
        }
        if (isElectronApplication(pid)) {
            info(QStringLiteral(
                "Focus probe: Electron accessibility and Paste menu unavailable — attempting keyboard paste"));
            co_return EditableFocus::unknown;
        }
        info(QStringLiteral("Focus probe: no focused element after accessibility and Paste-menu retries"));
        co_return EditableFocus::notEditable;
    }
    const HierarchyVerdict verdict = hierarchyEvidence(element.chain);
    if (verdict.evidence == ElementEvidence::notText)
        info(QStringLiteral("Focus probe: focused role %1 can't take text").arg(verdict.nonTextRole));
    else if (verdict.evidence == ElementEvidence::inconclusive)
        info(QStringLiteral("Focus probe: no conclusive editable signal — pasting anyway"));
    co_return focusFor(verdict.evidence);
}

QCoro::Task<EditableFocus> PasteService::focusedEditableTarget(std::optional<QString> expectedBundleID)
{
    // Nothing on this desktop can type for us (a Wayland compositor without a
    // virtual keyboard): the result panel shows the text for the user to copy,
    // rather than a paste that cannot land and a clipboard restored under them.
    if (!m_keys.canPost()) {
        info(QStringLiteral("Focus probe: no keystrokes can be sent on this desktop — showing the text instead"));
        co_return EditableFocus::notEditable;
    }
    QPointer<PasteService> self(this);
    AccessibilityInspector &ax = m_accessibility;
    Scheduler &scheduler = m_scheduler;
    if (!co_await ax.isAvailable() || !self)
        co_return EditableFocus::unknown;
    const auto app = m_workspace.frontmostApplication();
    if (!app || app->pid <= 0)
        co_return EditableFocus::unknown;
    if (expectedBundleID && app->applicationID != *expectedBundleID)
        co_return EditableFocus::unknown;

    AccessibleLookup window = co_await ax.focusedWindow(app->pid);
    AccessibleLookup element = co_await ax.focusedElement(app->pid);
    if (isNoValue(window) || isNoValue(element)) {
        if (!co_await ax.wake(app->pid)) {
            info(QStringLiteral("Focus probe: accessibility wake request unavailable (AX error %1)").arg(-1));
        } else {
            for (int poll = 1; poll <= kWakePolls; ++poll) {
                co_await scheduler.sleep(kWakePoll);
                window = co_await ax.focusedWindow(app->pid);
                element = co_await ax.focusedElement(app->pid);
                if (!isNoValue(window) && !isNoValue(element)) {
                    info(QStringLiteral("Focus probe: accessibility tree ready after %1 ms")
                             .arg(poll * kWakePoll.count()));
                    break;
                }
            }
        }
    }
    if (!self)
        co_return EditableFocus::unknown;
    if (isNoValue(window)) {
        info(QStringLiteral("Focus probe: no focused window after accessibility retry"));
        co_return EditableFocus::notEditable;
    }
    if (element.kind != AccessibleLookup::Kind::element)
        co_return co_await judge(element, app->pid);

    const EditableFocus first = co_await judge(element, app->pid);
    if (first != EditableFocus::unknown || !self)
        co_return first;
    // Inconclusive: wake the tree once more and look again.
    if (co_await ax.wake(app->pid))
        co_await scheduler.sleep(kAfterSecondWake);
    const AccessibleLookup again = co_await ax.focusedElement(app->pid);
    if (!self)
        co_return EditableFocus::unknown;
    if (isNoValue(again))
        co_return EditableFocus::notEditable;
    if (again.kind == AccessibleLookup::Kind::unavailable)
        co_return EditableFocus::unknown;
    const auto verdict = EditableFocusClassifier::hierarchyEvidence(again.chain);
    if (verdict.evidence != Classifier::inconclusive)
        co_return EditableFocusClassifier::focusFor(verdict.evidence);
    QStringList levels;
    for (size_t i = 0; i < again.chain.size() && i < 5; ++i)
        levels << (again.chain[i].role.isEmpty() ? QStringLiteral("?") : again.chain[i].role) + QStringLiteral("[-]");
    info(QStringLiteral("Focus probe: persistent ambiguous hierarchy %1 — pasting anyway")
             .arg(levels.join(QStringLiteral(" <- "))));
    co_return EditableFocus::unknown;
}

} // namespace dravelin
