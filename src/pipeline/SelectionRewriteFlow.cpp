#include "pipeline/SelectionRewriteFlow.h"

#include "core/Log.h"
#include "indicator/IndicatorPresenting.h"
#include "output/ClipboardHistoring.h"
#include "output/PasteService.h"
#include "output/Pasting.h"
#include "pipeline/Stopwatch.h"
#include "platform/KeySynthesizer.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"
#include "system/SoundFeedback.h"

#include <QPointer>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::rewrite(), message);
}

void error(const QString &message)
{
    logs::error(logs::rewrite(), message);
}

} // namespace

SelectionRewriteFlow::SelectionRewriteFlow(PipelineCollaborators &collaborators, QObject *parent)
    : QObject(parent)
    , m_c(collaborators)
{}

SelectionRewriteFlow::Provider SelectionRewriteFlow::styleProvider(RewriteStyle style) const
{
    Rewriting *rewrite = m_c.rewrite;
    return [rewrite, style](QString text) { return rewrite->sendRewrite(std::move(text), style, std::nullopt); };
}

SelectionRewriteFlow::Provider SelectionRewriteFlow::promptProvider(QString prompt) const
{
    Rewriting *rewrite = m_c.rewrite;
    return [rewrite, prompt](QString text) {
        return rewrite->sendRewrite(std::move(text), RewriteStyle::natural, prompt);
    };
}

QCoro::Task<> SelectionRewriteFlow::run(QString label, Provider provider)
{
    QPointer self(this);
    Stopwatch sw(m_c.scheduler);
    m_c.indicator.present(IndicatorState::processing());
    Pasteboard *board = m_c.pasteboard;
    KeySynthesizer *keys = m_c.keys;
    if (!board || !keys || !m_c.rewrite) {
        error(QStringLiteral("%1: no clipboard or keystrokes in this program").arg(label));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Rewrite needs the desktop app")));
        m_c.sounds.play(SoundFeedback::Cue::error);
        co_return;
    }
    const PasteboardSnapshot snapshot = board->snapshot();
    const qint64 countBefore = board->changeCount();
    const std::optional<QString> textBefore = board->string();
    // An empty snapshot with a string (a clipboard whose owner offered only
    // text in a form the snapshot could not keep) gets the string back.
    const auto restore = [board, snapshot, textBefore] {
        board->restore(snapshot);
        if (snapshot.isEmpty() && textBefore)
            board->setString(*textBefore);
    };

    Pasting &paste = m_c.paste;
    co_await paste.waitForModifiersToClear();
    if (!self)
        co_return;
    if (!keys->canPost()) {
        info(QStringLiteral("%1: keystrokes cannot be sent to other applications; Ctrl+C would be dropped").arg(label));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Accessibility permission required")));
        m_c.sounds.play(SoundFeedback::Cue::error);
        restore();
        co_return;
    }
    const std::optional<QString> frontmost = m_c.workspace.frontmostApplicationID();
    keys->postCopy(PasteService::isTerminal(frontmost));
    Scheduler &scheduler = m_c.scheduler;
    co_await scheduler.sleep(kCopyWait);
    if (!self)
        co_return;
    sw.mark(QStringLiteral("select_capture"));

    const qint64 countAfter = board->changeCount();
    const QString selection = board->string().value_or(QString());
    if (countAfter == countBefore || selection.trimmed().isEmpty() || selection == textBefore.value_or(QString())) {
        info(QStringLiteral("%1: No selection captured (changeCount %2 → %3, text len=%4)")
                 .arg(label)
                 .arg(countBefore)
                 .arg(countAfter)
                 .arg(selection.size()));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("No text selected")));
        m_c.sounds.play(SoundFeedback::Cue::error);
        restore();
        co_return;
    }
    info(QStringLiteral("%1: Captured selection: %2 chars").arg(label).arg(selection.size()));
    const auto result = co_await provider(selection);
    if (!self)
        co_return;
    if (!result) {
        handleRewriteError(result.error());
        restore();
        co_return;
    }
    sw.mark(QStringLiteral("rewrite"));

    board->clearContents();
    board->setString(*result);
    co_await paste.paste(*result, std::nullopt, false);
    if (!self)
        co_return;
    co_await scheduler.sleep(kPasteWait);
    if (!self)
        co_return;
    restore();
    sw.mark(QStringLiteral("restore_clipboard"));

    // Named before the co_await: GCC 12 mishandles temporaries built by a
    // conditional inside an awaited call's arguments (a use after free).
    const auto app = m_c.workspace.frontmostApplication();
    std::optional<QString> source;
    std::optional<QString> window;
    if (app) {
        source = app->applicationID;
        if (frontmost && app->applicationID == *frontmost && !app->windowTitle.isEmpty())
            window = app->windowTitle;
    }
    ClipboardHistoring &history = m_c.history;
    co_await history.add(*result, source, window, true, std::nullopt);
    if (!self)
        co_return;
    m_c.indicator.present(IndicatorState::done());
    m_c.sounds.play(SoundFeedback::Cue::stop);
    info(QStringLiteral("%1: %2").arg(label, sw.summary()));
}

void SelectionRewriteFlow::handleRewriteError(const RewriteError &failure)
{
    using Kind = RewriteError::Kind;
    switch (failure.kind) {
    case Kind::providerFailure:
        error(QStringLiteral("Provider failure: %1").arg(failure.message));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Rewrite failed")));
        break;
    case Kind::decodingFailed:
    case Kind::unexpectedStatus:
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Server error")));
        break;
    case Kind::network:
        error(QStringLiteral("Network: %1").arg(failure.message));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Network error")));
        break;
    case Kind::notAuthenticated:
    case Kind::unauthorized:
        m_c.indicator.present(IndicatorState::signInRequired());
        break;
    case Kind::cancelled:
        info(QStringLiteral("Rewrite cancelled"));
        m_c.indicator.present(IndicatorState::idle());
        return; // no sound
    case Kind::empty:
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Rewrite produced no text")));
        break;
    }
    m_c.sounds.play(SoundFeedback::Cue::error);
}

} // namespace dravelin
