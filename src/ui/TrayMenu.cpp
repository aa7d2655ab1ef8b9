#include "ui/TrayMenu.h"

#include "account/AuthService.h"
#include "core/Log.h"
#include "hotkeys/HotkeyService.h"
#include "output/ClipboardHistory.h"
#include "output/Pasting.h"
#include "pipeline/PendingTranscriptions.h"
#include "pipeline/RecordingPipeline.h"
#include "pipeline/ServiceContainer.h"
#include "ui/Navigation.h"
#include "ui/ShortcutText.h"
#include "ui/TrayIcons.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace dravelin::ui {

namespace trayText {

QString status(PipelineState state, bool signedIn)
{
    switch (state) {
    case PipelineState::idle:
        return signedIn ? QStringLiteral("Status: Ready") : QStringLiteral("Status: Sign in required");
    case PipelineState::recording:
        return QStringLiteral("Status: Recording…");
    case PipelineState::processing:
        return QStringLiteral("Status: Transcribing…");
    }
    return {};
}

QString recordButton(PipelineState state, bool signedIn)
{
    if (!signedIn)
        return QStringLiteral("Sign in to record");
    switch (state) {
    case PipelineState::idle:
        return QStringLiteral("Start Recording");
    case PipelineState::recording:
        return QStringLiteral("Stop Recording");
    case PipelineState::processing:
        return QStringLiteral("Transcribing…");
    }
    return {};
}

QString recentEntry(const QString &text)
{
    QString label = text;
    label.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    label = label.trimmed();
    if (label.size() > 60)
        label = label.left(60) + QStringLiteral("…");
    return label;
}

QString signOut(const QString &email)
{
    const QString shown = email.size() > 30 ? email.left(29) + QStringLiteral("…") : email;
    return QStringLiteral("Sign out (%1)").arg(shown);
}

} // namespace trayText

TrayMenu::TrayMenu(ServiceContainer &services, QObject *parent) : QObject(parent), m_services(services)
{
    m_menu = new QMenu();
    m_menu->setTitle(QStringLiteral("Dravelin"));
    m_icon = new QSystemTrayIcon(trayIcon(PipelineState::idle), this);
    m_icon->setToolTip(QStringLiteral("Dravelin"));
    m_icon->setContextMenu(m_menu);
    connect(m_menu, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    connect(&m_services.pipeline(), &RecordingPipeline::stateChanged, this, [this](PipelineState state) {
        m_icon->setIcon(trayIcon(state));
        m_icon->setToolTip(
            QStringLiteral("Dravelin — %1").arg(trayText::status(state, m_services.auth().isSignedIn()).mid(8)));
    });
    // A left click opens the menu too: there is nothing else to click for.
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_icon->contextMenu()->popup(QCursor::pos());
    });
    rebuild();
    m_icon->show();
}

TrayMenu::~TrayMenu()
{
    delete m_menu;
}

bool TrayMenu::isVisible() const
{
    return QSystemTrayIcon::isSystemTrayAvailable() && m_icon->isVisible();
}

void TrayMenu::rebuild()
{
    AuthService &auth = m_services.auth();
    RecordingPipeline &pipeline = m_services.pipeline();
    const bool signedIn = auth.isSignedIn();
    const PipelineState state = pipeline.state();
    m_menu->clear();

    m_menu->addAction(trayText::status(state, signedIn))->setEnabled(false);
    QAction *record = m_menu->addAction(trayText::recordButton(state, signedIn));
    record->setEnabled(state != PipelineState::processing);
    connect(record, &QAction::triggered, this, [this] { m_services.pipeline().toggleRecord(); });

    HotkeyService *hotkeys = m_services.hotkeyService();
    QString rewriteKey = QStringLiteral("Unbound");
    if (hotkeys && hotkeys->bindings().rewrite)
        rewriteKey = shortcutText(*hotkeys->bindings().rewrite, m_services.keyboardLayout());
    QAction *rewrite = m_menu->addAction(QStringLiteral("Rewrite selection\t%1").arg(rewriteKey));
    connect(rewrite, &QAction::triggered, this, [hotkeys] {
        if (hotkeys && hotkeys->callbacks().onRewriteSelection)
            hotkeys->callbacks().onRewriteSelection();
    });

    // Recordings that did not reach the server wait on disk until retried.
    if (const auto waiting = m_services.pending().items().size(); waiting > 0) {
        QAction *retry = m_menu->addAction(QIcon::fromTheme(QStringLiteral("view-refresh")),
                                           QStringLiteral("Retry pending (%1)").arg(waiting));
        connect(retry, &QAction::triggered, this, [this] { m_services.pipeline().retryAllPending(); });
    }

    QMenu *recent = m_menu->addMenu(QStringLiteral("Recent Transcriptions"));
    const auto &entries = m_services.history().entries();
    if (entries.empty())
        recent->addAction(QStringLiteral("No transcriptions yet"))->setEnabled(false);
    for (const auto &entry : entries) {
        QAction *item = recent->addAction(trayText::recentEntry(entry.text));
        connect(item, &QAction::triggered, this, [this, text = entry.text] { pasteEntry(text); });
    }

    m_menu->addSeparator();
    connect(m_menu->addAction(QStringLiteral("Onboarding…")), &QAction::triggered, this,
            [] { Navigator::instance().openRoute(Route::onboarding); });
    QAction *settings = m_menu->addAction(QStringLiteral("Settings"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, [] { Navigator::instance().openMainWindow(); });
    if (signedIn) {
        const QString email = auth.user() ? auth.user()->email : QString();
        connect(m_menu->addAction(trayText::signOut(email)), &QAction::triggered, this,
                [this] { m_services.auth().signOut(); });
    }
    m_menu->addSeparator();
    QAction *quit = m_menu->addAction(QStringLiteral("Quit Dravelin"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &TrayMenu::quitRequested);
}

QCoro::Task<> TrayMenu::pasteEntry(QString text)
{
    Pasting &paste = m_services.paste();
    co_await paste.paste(std::move(text), std::nullopt, false);
}

} // namespace dravelin::ui
