#include "output/PasteService.h"
#include "core/VirtualScheduler.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

using namespace dravelin;
using namespace std::chrono_literals;
using dravelin::test::FakeKeys;
using dravelin::test::FakePasteboard;

namespace {

class FakeInspector final : public AccessibilityInspector
{
public:
    QCoro::Task<bool> isAvailable() override { co_return available; }
    QCoro::Task<AccessibleLookup> focusedWindow(qint64) override
    {
        ++windowReads;
        co_return AccessibleLookup(window);
    }
    QCoro::Task<AccessibleLookup> focusedElement(qint64) override
    {
        ++elementReads;
        if (!elements.empty()) {
            auto next = elements.front();
            if (elements.size() > 1)
                elements.pop_front();
            co_return next;
        }
        co_return AccessibleLookup::failed();
    }
    QCoro::Task<bool> wake(qint64) override
    {
        ++wakes;
        co_return wakeWorks;
    }
    QCoro::Task<std::optional<bool>> pasteCommandEnabled(qint64) override
    {
        if (pasteMenuFails)
            throw std::runtime_error("accessibility bus gone");
        co_return std::optional<bool>(pasteMenu);
    }

    bool available = true;
    bool wakeWorks = true;
    AccessibleLookup window{AccessibleLookup::Kind::element,
                            {{QStringLiteral("frame"), false, false, false, false, QStringLiteral("w")}}};
    std::deque<AccessibleLookup> elements;
    std::optional<bool> pasteMenu;
    bool pasteMenuFails = false;
    int windowReads = 0;
    int elementReads = 0;
    int wakes = 0;
};

AccessibleElementInfo element(const QString &role, const QString &id, bool editableText = false)
{
    return {role, false, false, editableText, editableText, id};
}

AccessibleLookup found(std::vector<AccessibleElementInfo> chain)
{
    return {AccessibleLookup::Kind::element, std::move(chain)};
}

class PasteServiceTest : public ::testing::Test
{
protected:
    template <typename T>
    T finish(QCoro::Task<T> task)
    {
        while (!task.isReady() && scheduler.runNext()) {
        }
        EXPECT_TRUE(task.isReady());
        return QCoro::waitFor(std::move(task));
    }
    void finish(QCoro::Task<> task)
    {
        while (!task.isReady() && scheduler.runNext()) {
        }
        EXPECT_TRUE(task.isReady());
    }
    bool logged(const QString &message) { return logs.has(QStringLiteral("paste"), message); }

    VirtualScheduler scheduler;
    FakePasteboard board;
    FakeKeys keys{board, scheduler};
    test::FakeWorkspace workspace;
    FakeInspector inspector;
    PasteService service{keys, board, workspace, inspector, scheduler};
    test::LogCapture logs;
};

TEST_F(PasteServiceTest, PasteRestoresOnlyThePlainTextClipboard)
{
    finish(service.paste(QString(), std::nullopt, false));
    EXPECT_TRUE(keys.events.isEmpty());
    EXPECT_EQ(board.changes, 0);
    EXPECT_TRUE(logged(QStringLiteral("Empty text; skipping paste")));

    board.setString(QStringLiteral("user's own"));
    finish(service.paste(QStringLiteral("Hello there."), std::nullopt, false));
    EXPECT_EQ(keys.field, QStringLiteral("Hello there."));
    EXPECT_EQ(board.string(), QStringLiteral("user's own"));
    EXPECT_TRUE(logged(QStringLiteral("Pasted 12 chars; clipboard restored")));

    // An image is not saved by a plain paste: the clipboard ends up empty.
    board.items = {PasteboardItem{{QStringLiteral("image/png"), "PNG"}}};
    finish(service.paste(QStringLiteral(" More."), std::nullopt, false));
    EXPECT_TRUE(board.items.isEmpty());

    finish(service.paste(QStringLiteral(" Kept."), std::nullopt, true));
    EXPECT_EQ(board.string(), QStringLiteral(" Kept."));
    EXPECT_TRUE(logged(QStringLiteral("Pasted 6 chars; transcription kept on clipboard")));

    // Terminals get Ctrl+Shift+V; without XTest the keystroke is still tried.
    workspace.frontmost = QStringLiteral("kitty");
    keys.available = false;
    finish(service.paste(QStringLiteral("ls"), std::nullopt, false));
    EXPECT_EQ(keys.events.back(), QStringLiteral("ctrl+shift+v"));
    EXPECT_TRUE(
        logs.has(QStringLiteral("paste"), QStringLiteral("Accessibility permission not granted; ⌘V will be dropped")));

    // xterm has no clipboard-paste key: the text goes on the primary selection
    // for Shift+Insert, and the selection the user had comes back afterwards.
    workspace.frontmost = QStringLiteral("XTerm");
    keys.available = true;
    keys.field.clear();
    board.selection = QStringLiteral("their selection");
    finish(service.paste(QStringLiteral("make test"), std::nullopt, false));
    EXPECT_EQ(keys.events.back(), QStringLiteral("shift+insert"));
    EXPECT_EQ(keys.field, QStringLiteral("make test"));
    EXPECT_EQ(board.selection, QStringLiteral("their selection"));
}

TEST_F(PasteServiceTest, TheClipboardIsRestoredOnlyOnceTheTargetHasReadIt)
{
    board.setString(QStringLiteral("theirs"));
    // A clipboard manager's reads before the keystroke do not count; a busy
    // application reads the clipboard 600 ms after it.
    board.fetches = 2;
    const Millis readAt = scheduler.monotonicNow() + 600ms;
    auto task = service.paste(QStringLiteral("dictated"), std::nullopt, false);
    while (scheduler.monotonicNow() < readAt) {
        EXPECT_EQ(board.string(), QStringLiteral("dictated"));
        scheduler.advance(25ms);
    }
    board.fetches = 3;
    scheduler.advance(50ms);
    EXPECT_EQ(board.string(), QStringLiteral("theirs"));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("paste"), QStringLiteral("Paste target read the clipboard")));

    // One that never reads it does not hold the clipboard past the grace period.
    board.fetches = 0;
    auto second = service.paste(QStringLiteral("ignored"), std::nullopt, false);
    scheduler.advance(2400ms);
    EXPECT_EQ(board.string(), QStringLiteral("theirs"));
}

TEST_F(PasteServiceTest, HeldModifiersDelayThePasteAtMostHalfASecond)
{
    keys.modifiersHeldUntil = 130ms;
    finish(service.paste(QStringLiteral("a"), std::nullopt, false));
    ASSERT_EQ(keys.events, QStringList{QStringLiteral("ctrl+v")});
    EXPECT_EQ(keys.times.back(), 140ms); // the first 20 ms poll after release
    EXPECT_TRUE(logged(QStringLiteral("Waited 140 ms for modifiers to clear")));

    keys.modifiersHeldUntil = scheduler.monotonicNow() + 10s;
    const Millis start = scheduler.monotonicNow();
    finish(service.paste(QStringLiteral("b"), std::nullopt, false));
    EXPECT_EQ(keys.times.back() - start, 500ms);
    EXPECT_TRUE(logged(QStringLiteral("Modifier-clear deadline hit after 500 ms; posting anyway")));
}

TEST_F(PasteServiceTest, TheTargetApplicationIsBroughtBackFirst)
{
    workspace.frontmost = QStringLiteral("org.example.chat");
    workspace.running << QStringLiteral("org.example.chat");
    finish(service.paste(QStringLiteral("x"), QStringLiteral("org.example.Editor"), false));
    EXPECT_EQ(workspace.activated, QStringList{QStringLiteral("org.example.Editor")});
    EXPECT_EQ(keys.times.front(), 60ms);
    EXPECT_TRUE(logged(QStringLiteral("Re-activated paste target org.example.Editor before pasting")));

    finish(service.paste(QStringLiteral("y"), QStringLiteral("org.example.gone"), false));
    EXPECT_TRUE(
        logged(QStringLiteral("Paste target org.example.gone no longer running; pasting into current frontmost app")));
    EXPECT_EQ(keys.field, QStringLiteral("xy"));
}

TEST_F(PasteServiceTest, SwapReplacesExactlyTheRawTextOrKeepsIt)
{
    EXPECT_FALSE(
        finish(service.replacePastedText(QStringLiteral("same"), QStringLiteral("same"), std::nullopt, false)));
    EXPECT_TRUE(keys.events.isEmpty());
    EXPECT_FALSE(finish(service.replacePastedText(QString(4001, u'a'), QStringLiteral("b"), std::nullopt, false)));
    EXPECT_TRUE(logged(QStringLiteral("Swap skipped — transcript too long (4001 chars) to safely re-select")));
    EXPECT_TRUE(keys.events.isEmpty());

    // A successful swap: select, copy, verify, paste over, restore the user's clipboard.
    keys.field = QStringLiteral("Dear team, um hello");
    board.items = {PasteboardItem{{QStringLiteral("image/png"), "PNG"}}};
    EXPECT_TRUE(
        finish(service.replacePastedText(QStringLiteral("um hello"), QStringLiteral("Hello."), std::nullopt, false)));
    EXPECT_EQ(keys.field, QStringLiteral("Dear team, Hello."));
    EXPECT_EQ(keys.events,
              (QStringList{QStringLiteral("shift+left×8"), QStringLiteral("ctrl+c"), QStringLiteral("ctrl+v")}));
    EXPECT_EQ(keys.times[1] - keys.times[0], 40ms);
    EXPECT_EQ(keys.times[2] - keys.times[1], 90ms);
    EXPECT_EQ(board.items.front().value(QStringLiteral("image/png")), "PNG");
    EXPECT_TRUE(logged(QStringLiteral("Swapped raw→cleaned (6 chars); clipboard restored")));

    // The field holds something else: one Right arrow, the clipboard back even though it was to be kept.
    keys.events.clear();
    keys.field = QStringLiteral("Dear team, un hello");
    EXPECT_FALSE(
        finish(service.replacePastedText(QStringLiteral("um hello"), QStringLiteral("Hello."), std::nullopt, true)));
    EXPECT_EQ(keys.field, QStringLiteral("Dear team, un hello"));
    EXPECT_EQ(keys.events.count(QStringLiteral("right")), 1);
    EXPECT_FALSE(keys.events.contains(QStringLiteral("ctrl+v")));
    EXPECT_EQ(board.items.front().value(QStringLiteral("image/png")), "PNG");
    EXPECT_TRUE(logged(QStringLiteral("Swap aborted — selection mismatch (copied=1, len=8); keeping raw")));

    // A copy that never lands, and a target that lost the focus.
    keys.copyWorks = false;
    EXPECT_FALSE(
        finish(service.replacePastedText(QStringLiteral("un hello"), QStringLiteral("Hi."), std::nullopt, false)));
    EXPECT_TRUE(logged(QStringLiteral("Swap aborted — selection mismatch (copied=0, len=-1); keeping raw")));
    EXPECT_FALSE(
        finish(service.replacePastedText(QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("other"), false)));
    EXPECT_TRUE(logged(QStringLiteral("Swap skipped — other no longer frontmost; keeping raw")));

    // 4000 characters are still swapped.
    keys.copyWorks = true;
    // An emoji is one step, however many UTF-16 units it takes.
    keys.events.clear();
    keys.field = QStringLiteral("Great, ok 👍");
    EXPECT_TRUE(
        finish(service.replacePastedText(QStringLiteral("ok 👍"), QStringLiteral("OK 👍."), std::nullopt, false)));
    EXPECT_EQ(keys.events.first(), QStringLiteral("shift+left×4"));
    EXPECT_EQ(keys.field, QStringLiteral("Great, OK 👍."));

    keys.field = QString(4000, u'a');
    EXPECT_TRUE(finish(service.replacePastedText(QString(4000, u'a'), QStringLiteral("b"), std::nullopt, false)));
}

TEST_F(PasteServiceTest, FocusProbeOutcomes)
{
    const auto probe = [this](std::optional<QString> expected = std::nullopt) {
        return finish(service.focusedEditableTarget(std::move(expected)));
    };
    inspector.elements = {found({element(QStringLiteral("text"), QStringLiteral("e"), true)})};
    EXPECT_EQ(probe(), EditableFocus::editable);
    EXPECT_EQ(probe(QStringLiteral("org.example.other")), EditableFocus::unknown);

    inspector.elements = {found({element(QStringLiteral("push button"), QStringLiteral("b")),
                                 element(QStringLiteral("filler"), QStringLiteral("f"))})};
    EXPECT_EQ(probe(), EditableFocus::notEditable);
    EXPECT_TRUE(logged(QStringLiteral("Focus probe: focused role push button can't take text")));

    // A window that never shows up after the four wake polls.
    inspector.window = AccessibleLookup::none();
    inspector.elements = {AccessibleLookup::none()};
    const Millis start = scheduler.monotonicNow();
    EXPECT_EQ(probe(), EditableFocus::notEditable);
    EXPECT_EQ(scheduler.monotonicNow() - start, 200ms);
    EXPECT_TRUE(logged(QStringLiteral("Focus probe: no focused window after accessibility retry")));

    // No focused element, but an enabled Paste command: editable; the clipboard is put back.
    inspector.window = found({element(QStringLiteral("frame"), QStringLiteral("w"))});
    inspector.pasteMenu = true;
    board.setString(QStringLiteral("mine"));
    EXPECT_EQ(probe(), EditableFocus::editable);
    EXPECT_EQ(board.string(), QStringLiteral("mine"));
    inspector.pasteMenu.reset();
    EXPECT_EQ(probe(), EditableFocus::notEditable);
    // An inspector that fails mid-probe still gets the user's clipboard back.
    inspector.pasteMenuFails = true;
    bool failed = false;
    finish([](PasteService &paste, bool &threw) -> QCoro::Task<> {
        auto looking = paste.focusedEditableTarget(std::nullopt);
        try {
            co_await looking;
        } catch (const std::runtime_error &) {
            threw = true;
        }
    }(service, failed));
    EXPECT_TRUE(failed);
    EXPECT_EQ(board.string(), QStringLiteral("mine"));
    inspector.pasteMenuFails = false;

    // Nothing conclusive twice: paste anyway.
    inspector.elements = {found({element(QStringLiteral("panel"), QStringLiteral("p"))})};
    EXPECT_EQ(probe(), EditableFocus::unknown);
    EXPECT_TRUE(
        logs.hasPrefix(QStringLiteral("paste"), QStringLiteral("Focus probe: persistent ambiguous hierarchy panel")));

    inspector.available = false;
    EXPECT_EQ(probe(), EditableFocus::unknown);
    // Nothing can type on this desktop: never a paste that cannot land.
    keys.available = false;
    EXPECT_EQ(probe(), EditableFocus::notEditable);
}

TEST(EditableFocusClassifierTest, RolesStatesAndAncestors)
{
    using namespace EditableFocusClassifier;
    const auto verdict = [](std::vector<AccessibleElementInfo> chain) { return hierarchyEvidence(chain).evidence; };
    EXPECT_EQ(verdict({element(QStringLiteral("entry"), QStringLiteral("a"))}), ElementEvidence::editable);
    AccessibleElementInfo readOnly = element(QStringLiteral("text"), QStringLiteral("a"));
    readOnly.readOnly = true;
    EXPECT_EQ(verdict({readOnly}), ElementEvidence::inconclusive);
    AccessibleElementInfo rich = element(QStringLiteral("section"), QStringLiteral("a"));
    rich.editable = true;
    EXPECT_EQ(verdict({rich}), ElementEvidence::editable);
    // A slider with an editable value is still not text.
    EXPECT_EQ(verdict({element(QStringLiteral("slider"), QStringLiteral("s"), true)}), ElementEvidence::notText);
    // An editable ancestor within four levels counts; a fifth does not; a cycle stops the walk.
    const auto plain = [](const char *id) { return element(QStringLiteral("panel"), QString::fromLatin1(id)); };
    EXPECT_EQ(verdict({plain("0"), plain("1"), plain("2"), plain("3"),
                       element(QStringLiteral("entry"), QStringLiteral("4"))}),
              ElementEvidence::editable);
    EXPECT_EQ(verdict({plain("0"), plain("1"), plain("2"), plain("3"), plain("4"),
                       element(QStringLiteral("entry"), QStringLiteral("5"))}),
              ElementEvidence::inconclusive);
    EXPECT_EQ(verdict({plain("0"), plain("1"), plain("0"), element(QStringLiteral("entry"), QStringLiteral("3"))}),
              ElementEvidence::inconclusive);
    EXPECT_EQ(focusFor(ElementEvidence::notText), EditableFocus::notEditable);
}

} // namespace
