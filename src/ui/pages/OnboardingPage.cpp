#include "ui/pages/OnboardingPage.h"

#include "hotkeys/HotkeyService.h"
#include "output/ClipboardHistory.h"
#include "pipeline/ServiceContainer.h"
#include "system/PermissionsService.h"
#include "ui/MicLevelBar.h"
#include "ui/Navigation.h"
#include "ui/ShortcutText.h"
#include "ui/pages/ShortcutsPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

QString recordShortcutText(ServiceContainer &services)
{
    HotkeyService *hotkeys = services.hotkeyService();
    const auto binding = hotkeys ? hotkeys->bindings().get(HotkeyRole::record) : std::nullopt;
    return binding ? shortcutText(*binding, services.keyboardLayout()) : QStringLiteral("your record shortcut");
}

QWidget *stepPage(const QString &title, const QString &text, QWidget *parent, QVBoxLayout *&column)
{
    auto *page = new QWidget(parent);
    column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(style::heading(title, page, 1.3));
    column->addWidget(style::note(text, page));
    return page;
}

} // namespace

OnboardingPage::OnboardingPage(ServiceContainer &services, QWidget *parent)
    : Page(parent)
    , m_services(services)
    , m_flow(services.defaults())
{
    QVBoxLayout *column =
        scaffold(QStringLiteral("Get started"),
                 QStringLiteral("A few checks, then your first dictation. It takes a minute."), false);
    auto *row = new QHBoxLayout;
    row->setSpacing(24);
    m_steps = new QListWidget(this);
    m_steps->setAccessibleName(QStringLiteral("Steps"));
    m_steps->setFixedWidth(190);
    m_steps->setFrameShape(QFrame::NoFrame);
    m_steps->setSelectionMode(QAbstractItemView::NoSelection);
    m_steps->setFocusPolicy(Qt::NoFocus);
    m_steps->viewport()->setAutoFillBackground(false);
    m_steps->setStyleSheet(QStringLiteral("QListWidget::item { padding: 6px 4px; }"));
    for (OnboardingStep step : kOnboardingSteps)
        m_steps->addItem(title(step));
    row->addWidget(m_steps, 0, Qt::AlignTop);

    m_stack = new QStackedWidget(this);
    m_stepPages[OnboardingStep::microphone] = buildMicrophoneStep();
    m_stepPages[OnboardingStep::accessibility] = buildAccessibilityStep();
    m_stepPages[OnboardingStep::shortcut] = buildShortcutStep();
    m_stepPages[OnboardingStep::tryIt] = buildTryStep();
    for (const auto &[step, page] : m_stepPages)
        m_stack->addWidget(page);
    row->addWidget(m_stack, 1);
    column->addLayout(row, 1);

    auto *buttons = new QHBoxLayout;
    m_skip = new QPushButton(QStringLiteral("Skip for now"), this);
    m_skip->setAccessibleName(QStringLiteral("Skip for now"));
    m_back = new QPushButton(QStringLiteral("Back"), this);
    m_back->setAccessibleName(QStringLiteral("Back"));
    m_next = new QPushButton(QStringLiteral("Continue"), this);
    m_next->setAccessibleName(QStringLiteral("Continue"));
    m_next->setDefault(true);
    buttons->addWidget(m_skip);
    buttons->addStretch(1);
    buttons->addWidget(m_back);
    buttons->addWidget(m_next);
    column->addLayout(buttons);

    connect(m_skip, &QPushButton::clicked, &m_flow, &OnboardingFlow::skip);
    connect(m_back, &QPushButton::clicked, &m_flow, &OnboardingFlow::back);
    connect(m_next, &QPushButton::clicked, &m_flow, &OnboardingFlow::next);
    connect(&m_flow, &OnboardingFlow::stepChanged, this, &OnboardingPage::showStep);
    connect(&m_services.history(), &ClipboardHistory::entriesChanged, this, [this] {
        if (m_flow.step() == OnboardingStep::tryIt && m_services.history().entryCount() > m_historyAtStart)
            m_flow.dictationArrived();
    });
    if (PermissionsService *permissions = m_services.permissions()) {
        connect(permissions, &PermissionsService::microphoneChanged, this, &OnboardingPage::refreshPermissions);
        connect(permissions, &PermissionsService::accessibilityChanged, this, &OnboardingPage::refreshPermissions);
        connect(permissions, &PermissionsService::detailsChanged, this, &OnboardingPage::refreshPermissions);
    }
    if (HotkeyService *hotkeys = m_services.hotkeyService()) {
        connect(hotkeys, &HotkeyService::bindingsChanged, this, &OnboardingPage::refreshShortcut);
        connect(hotkeys, &HotkeyService::registrationChanged, this, &OnboardingPage::refreshShortcut);
    }
    refreshShortcut();
    refreshPermissions();
}

OnboardingPage::~OnboardingPage() = default;

void OnboardingPage::pageShown()
{
    // Each visit starts over, at the first step the user has not done.
    m_flow.start(true);
}

void OnboardingPage::pageHidden()
{
    m_level->stop();
    if (PermissionsService *permissions = m_services.permissions())
        permissions->stopPolling();
}

QWidget *OnboardingPage::buildMicrophoneStep()
{
    QVBoxLayout *column = nullptr;
    QWidget *page = stepPage(QStringLiteral("Check your microphone"),
                             QStringLiteral("Say a few words. The bar should move as you speak. If it stays still, "
                                            "pick another input on the Microphone page or check that it is not "
                                            "muted."),
                             m_stack, column);
    m_level = new MicLevelBar(m_services, page);
    column->addWidget(m_level);
    // What the desktop says about the microphone, when it has none.
    m_microphoneState = style::problem(page);
    column->addWidget(m_microphoneState);
    column->addStretch(1);
    return page;
}

QWidget *OnboardingPage::buildAccessibilityStep()
{
    QVBoxLayout *column = nullptr;
    QWidget *page =
        stepPage(QStringLiteral("Typing into other applications"),
                 QStringLiteral("Dravelin types your words into the application you are using. For that it needs "
                                "the desktop's accessibility bus (to find the text field) and the XTEST keyboard "
                                "extension (to paste)."),
                 m_stack, column);
    m_accessibilityState = style::heading(QString(), page, 1.05);
    m_accessibilityState->setAccessibleName(QStringLiteral("Accessibility status"));
    column->addWidget(m_accessibilityState);
    m_accessibilityFix = style::note(QString(), page);
    m_accessibilityFix->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_accessibilityFix);
    auto *again = new QPushButton(QStringLiteral("Check again"), page);
    again->setAccessibleName(QStringLiteral("Check again"));
    connect(again, &QPushButton::clicked, this, [this] {
        if (PermissionsService *permissions = m_services.permissions())
            permissions->openAccessibilitySettings();
    });
    column->addWidget(again, 0, Qt::AlignLeft);
    column->addStretch(1);
    return page;
}

QWidget *OnboardingPage::buildShortcutStep()
{
    QVBoxLayout *column = nullptr;
    QWidget *page =
        stepPage(QStringLiteral("Your record shortcut"),
                 QStringLiteral("Press it in any application to start dictating and again to stop. Click it to pick "
                                "another combination."),
                 m_stack, column);
    m_shortcut = new QPushButton(page);
    m_shortcut->setAccessibleName(QStringLiteral("Record shortcut"));
    m_shortcut->setMinimumWidth(200);
    QFont font = m_shortcut->font();
    font.setPointSizeF(font.pointSizeF() * 1.2);
    m_shortcut->setFont(font);
    connect(m_shortcut, &QPushButton::clicked, this, [this] { rebindShortcut(m_services, HotkeyRole::record, this); });
    column->addWidget(m_shortcut, 0, Qt::AlignLeft);
    column->addStretch(1);
    return page;
}

QWidget *OnboardingPage::buildTryStep()
{
    QVBoxLayout *column = nullptr;
    QWidget *page = stepPage(QStringLiteral("Try it"), QString(), m_stack, column);
    m_tryBox = new QPlainTextEdit(page);
    m_tryBox->setAccessibleName(QStringLiteral("Try dictating here"));
    m_tryBox->setMaximumHeight(140);
    column->addWidget(m_tryBox);
    m_tryState = style::note(QString(), page);
    m_tryState->setAccessibleName(QStringLiteral("Try status"));
    column->addWidget(m_tryState);
    column->addStretch(1);
    return page;
}

void OnboardingPage::showStep(OnboardingStep step)
{
    if (step == OnboardingStep::done) {
        pageHidden();
        Navigator::instance().openRoute(Route::home);
        return;
    }
    for (int i = 0; i < m_steps->count(); ++i) {
        const OnboardingStep each = kOnboardingSteps[static_cast<size_t>(i)];
        const bool passed = static_cast<int>(each) < static_cast<int>(step);
        QListWidgetItem *item = m_steps->item(i);
        item->setText((passed ? QStringLiteral("✓  ") : QStringLiteral("%1.  ").arg(i + 1)) + title(each));
        QFont font = item->font();
        font.setBold(each == step);
        item->setFont(font);
        item->setForeground(each == step || passed ? palette().color(QPalette::Text)
                                                   : palette().color(QPalette::PlaceholderText));
    }
    if (auto found = m_stepPages.find(step); found != m_stepPages.end())
        m_stack->setCurrentWidget(found->second);
    m_back->setEnabled(step != OnboardingStep::microphone);
    m_next->setText(step == OnboardingStep::tryIt ? QStringLiteral("Finish") : QStringLiteral("Continue"));
    m_next->setAccessibleName(m_next->text());

    if (step == OnboardingStep::microphone)
        m_level->start();
    else
        m_level->stop();
    PermissionsService *permissions = m_services.permissions();
    if (permissions && (step == OnboardingStep::microphone || step == OnboardingStep::accessibility))
        permissions->startPolling();
    else if (permissions)
        permissions->stopPolling();
    if (step == OnboardingStep::tryIt) {
        if (!m_flow.hasDictated()) {
            m_historyAtStart = m_services.history().entryCount();
            m_tryBox->clear();
        }
        m_tryBox->setPlaceholderText(QStringLiteral("Click here, press %1, say a sentence, and press it again.")
                                         .arg(recordShortcutText(m_services)));
        m_tryBox->setFocus();
        m_tryState->setText(
            m_flow.hasDictated()
                ? QStringLiteral("It works. Your words land wherever the cursor is, in any application. "
                                 "Press Finish to start using Dravelin.")
                : QStringLiteral("Dictate into the box above. The words appear a moment after you "
                                 "stop."));
        m_tryState->setAccessibleDescription(m_tryState->text());
    }
}

void OnboardingPage::refreshPermissions()
{
    PermissionsService *permissions = m_services.permissions();
    if (!permissions)
        return;
    const PermissionStatus accessibility = permissions->accessibility();
    m_accessibilityState->setText(accessibility == PermissionStatus::granted  ? QStringLiteral("✓  Ready")
                                  : accessibility == PermissionStatus::denied ? QStringLiteral("Something is missing")
                                                                              : QStringLiteral("Checking…"));
    // The label's accessible name says what it is; its description carries the state.
    m_accessibilityState->setAccessibleDescription(m_accessibilityState->text());
    m_accessibilityFix->setText(permissions->accessibilityDetail());
    const bool noMicrophone = permissions->microphone() == PermissionStatus::denied;
    m_microphoneState->setText(noMicrophone ? permissions->microphoneDetail() : QString());
    m_microphoneState->setVisible(noMicrophone);
}

void OnboardingPage::refreshShortcut()
{
    m_shortcut->setText(recordShortcutText(m_services));
}

} // namespace dravelin::ui
