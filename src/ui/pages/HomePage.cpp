#include "ui/pages/HomePage.h"

#include "account/AuthService.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyService.h"
#include "output/ClipboardHistory.h"
#include "pipeline/PendingTranscriptions.h"
#include "pipeline/RecordingPipeline.h"
#include "pipeline/ServiceContainer.h"
#include "system/PermissionsService.h"
#include "system/UpdateService.h"
#include "ui/Navigation.h"
#include "ui/OnboardingFlow.h"
#include "ui/ShortcutText.h"
#include "ui/TrayMenu.h"
#include "ui/pages/ShortcutsPage.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

namespace dravelin::ui {

HomePage::HomePage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Home"), QString());
    // The scaffold's title doubles as the greeting.
    m_greeting = qobject_cast<QLabel *>(column->itemAt(0)->widget());
    m_status = style::note(QString(), this);
    m_status->setAccessibleName(QStringLiteral("Status"));
    column->addWidget(m_status);

    auto *figures = new QHBoxLayout;
    figures->setSpacing(12);
    figures->addWidget(style::figure(m_today, QStringLiteral("dictations today"), this));
    figures->addWidget(style::figure(m_words, QStringLiteral("words today"), this));
    figures->addWidget(style::figure(m_shortcut, QStringLiteral("to dictate"), this));
    m_today->setAccessibleName(QStringLiteral("Dictations today"));
    column->addLayout(figures);

    m_attention = style::section(QStringLiteral("Needs attention"), this);
    m_attentionRows = new QVBoxLayout(m_attention);
    column->addWidget(m_attention);

    auto *recent = style::section(QStringLiteral("Recent dictations"), this);
    auto *recentColumn = new QVBoxLayout(recent);
    m_recent = new QListWidget(recent);
    m_recent->setAccessibleName(QStringLiteral("Recent dictations"));
    m_recent->setFrameShape(QFrame::NoFrame);
    m_recent->setWordWrap(true);
    m_recent->setFixedHeight(m_recent->fontMetrics().height() * 7);
    m_recent->setToolTip(QStringLiteral("Double-click to copy"));
    recentColumn->addWidget(m_recent);
    m_recentEmpty =
        style::note(QStringLiteral("Nothing yet. Press your shortcut in any text field and speak."), recent);
    recentColumn->addWidget(m_recentEmpty);
    auto *all = new QPushButton(QStringLiteral("Show all"), recent);
    all->setAccessibleName(QStringLiteral("Show all dictations"));
    connect(all, &QPushButton::clicked, this, [] { Navigator::instance().openRoute(Route::history); });
    recentColumn->addWidget(all, 0, Qt::AlignRight);
    column->addWidget(recent);
    column->addStretch(1);
    connect(m_recent, &QListWidget::itemDoubleClicked, this,
            [](QListWidgetItem *item) { QGuiApplication::clipboard()->setText(item->data(Qt::UserRole).toString()); });

    connect(&m_services.history(), &ClipboardHistory::entriesChanged, this, &HomePage::refresh);
    connect(&m_services.pipeline(), &RecordingPipeline::stateChanged, this, &HomePage::refresh);
    connect(&m_services.pending(), &PendingTranscriptions::itemsChanged, this, &HomePage::refreshAttention);
    connect(&m_services.auth(), &AuthService::userChanged, this, &HomePage::refresh);
    if (PermissionsService *permissions = m_services.permissions()) {
        connect(permissions, &PermissionsService::microphoneChanged, this, &HomePage::refreshAttention);
        connect(permissions, &PermissionsService::accessibilityChanged, this, &HomePage::refreshAttention);
    }
    if (HotkeyService *hotkeys = m_services.hotkeyService()) {
        connect(hotkeys, &HotkeyService::registrationChanged, this, &HomePage::refresh);
        connect(hotkeys, &HotkeyService::bindingsChanged, this, &HomePage::refresh);
    }
    if (UpdateService *updates = m_services.updates())
        connect(updates, &UpdateService::stateChanged, this, &HomePage::refreshAttention);
    refresh();
}

void HomePage::refresh()
{
    const bool signedIn = m_services.auth().isSignedIn();
    m_status->setText(trayText::status(m_services.pipeline().state(), signedIn));
    const int hour = QTime::currentTime().hour();
    const QString partOfDay = hour < 12   ? QStringLiteral("Good morning")
                              : hour < 18 ? QStringLiteral("Good afternoon")
                                          : QStringLiteral("Good evening");
    const auto &user = m_services.auth().user();
    const QString name = user && user->firstName ? *user->firstName : QString();
    if (m_greeting)
        m_greeting->setText(name.isEmpty() ? partOfDay : QStringLiteral("%1, %2").arg(partOfDay, name));
    const TodaySummary today = summarizeToday(m_services.history().entries(), QDate::currentDate());
    m_today->setText(QString::number(today.dictations));
    m_words->setText(QString::number(today.words));
    HotkeyService *hotkeys = m_services.hotkeyService();
    const auto binding = hotkeys ? hotkeys->bindings().get(HotkeyRole::record) : std::nullopt;
    // Where the session gives no global shortcuts (Wayland without the
    // shortcuts portal), the desktop's own shortcut runs the command.
    const bool noGlobalKeys =
        hotkeys && hotkeys->problem(HotkeyRole::record) == GlobalHotkeyGrabber::GrabStatus::unavailable;
    if (noGlobalKeys) {
        m_shortcut->setText(QStringLiteral("dravelin --toggle"));
        m_shortcut->setToolTip(QStringLiteral("This desktop does not give Dravelin global shortcuts: add a custom "
                                              "shortcut in your desktop's keyboard settings that runs "
                                              "dravelin --toggle."));
    } else {
        m_shortcut->setText(binding ? shortcutText(*binding, m_services.keyboardLayout()) : QStringLiteral("Unbound"));
        m_shortcut->setToolTip(QString());
    }
    refreshAttention();
    refreshRecent();
}

AttentionFacts HomePage::facts() const
{
    AttentionFacts facts;
    const UserDefaults &defaults = m_services.defaults();
    facts.onboardingSkipped = onboardingSettings::isSkipped(defaults);
    if (const auto &aside = defaults.setAside())
        facts.settingsSetAside = AttentionFacts::SetAside{aside->path, aside->reason};
    if (const PermissionsService *permissions = m_services.permissions()) {
        if (permissions->microphone() == PermissionStatus::denied)
            facts.microphoneProblem = permissions->microphoneDetail();
        if (permissions->accessibility() == PermissionStatus::denied)
            facts.accessibilityProblem = permissions->accessibilityDetail();
    }
    if (const HotkeyService *hotkeys = m_services.hotkeyService()) {
        for (HotkeyRole role : {HotkeyRole::record, HotkeyRole::privatePaste, HotkeyRole::rewrite}) {
            const auto problem = hotkeys->problem(role);
            const QString text = problem ? shortcutProblemText(*problem) : QString();
            if (!text.isEmpty())
                facts.shortcutProblems << QStringLiteral("%1: %2").arg(hotkeySettings::label(role), text);
        }
    }
    AuthService &auth = m_services.auth();
    if (auth.isSignedIn() && !auth.sessionPersisted())
        facts.keyringProblem = QStringLiteral("No keyring answered, so you will have to sign in again after "
                                              "Dravelin quits. %1")
                                   .arg(auth.keychainHealth().problem);
    facts.pendingRecordings = static_cast<int>(m_services.pending().items().size());
    if (const UpdateService *updates = m_services.updates();
        updates && updates->state() == UpdateState::available && updates->latest())
        facts.updateVersion = updates->latest()->version;
    return facts;
}

void HomePage::refreshAttention()
{
    while (QLayoutItem *item = m_attentionRows->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        delete item;
    }
    const QList<Attention> items = attentionItems(facts());
    for (const Attention &attention : items) {
        auto *row = new QWidget(m_attention);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 2, 0, 2);
        auto *text = new QLabel(attention.text, row);
        text->setWordWrap(true);
        layout->addWidget(text, 1);
        if (attention.action != Attention::Action::none) {
            auto *button = new QPushButton(attention.actionLabel, row);
            button->setAccessibleName(attention.actionLabel);
            const Attention::Action action = attention.action;
            connect(button, &QPushButton::clicked, this, [this, action] { act(action); });
            layout->addWidget(button, 0, Qt::AlignTop);
        }
        m_attentionRows->addWidget(row);
    }
    m_attention->setVisible(!items.isEmpty());
}

void HomePage::act(Attention::Action action)
{
    switch (action) {
    case Attention::Action::none:
        break;
    case Attention::Action::finishOnboarding:
    case Attention::Action::openOnboarding:
        Navigator::instance().openRoute(Route::onboarding);
        break;
    case Attention::Action::openMicrophone:
        Navigator::instance().openRoute(Route::microphone);
        break;
    case Attention::Action::openShortcuts:
        Navigator::instance().openRoute(Route::shortcuts);
        break;
    case Attention::Action::retryPending: {
        RecordingPipeline &pipeline = m_services.pipeline();
        pipeline.taskTracker().track(pipeline.retryAllPending());
        break;
    }
    case Attention::Action::downloadUpdate:
        if (const UpdateService *updates = m_services.updates(); updates && updates->latest())
            QDesktopServices::openUrl(updates->latest()->url);
        break;
    }
}

void HomePage::refreshRecent()
{
    m_recent->clear();
    const auto &entries = m_services.history().entries();
    const size_t shown = std::min<size_t>(entries.size(), 5);
    for (size_t i = 0; i < shown; ++i) {
        const ClipboardEntry &entry = entries[i];
        const QString when = entry.createdAt.toLocalTime().date() == QDate::currentDate()
                                 ? QLocale().toString(entry.createdAt.toLocalTime().time(), QLocale::ShortFormat)
                                 : QLocale().toString(entry.createdAt.toLocalTime().date(), QLocale::ShortFormat);
        auto *item = new QListWidgetItem(QStringLiteral("%1  ·  %2").arg(when, trayText::recentEntry(entry.text)));
        item->setData(Qt::UserRole, entry.text);
        m_recent->addItem(item);
    }
    m_recent->setVisible(shown > 0);
    m_recentEmpty->setVisible(shown == 0);
}

} // namespace dravelin::ui
