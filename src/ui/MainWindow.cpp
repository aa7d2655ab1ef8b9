#include "ui/MainWindow.h"

#include "account/AuthService.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "pipeline/ServiceContainer.h"
#include "ui/OnboardingFlow.h"
#include "ui/Page.h"
#include "ui/pages/AboutPage.h"
#include "ui/pages/AccountPage.h"
#include "ui/pages/AdminPage.h"
#include "ui/pages/AskPage.h"
#include "ui/pages/DictionaryPage.h"
#include "ui/pages/GeneralPage.h"
#include "ui/pages/HistoryPage.h"
#include "ui/pages/HomePage.h"
#include "ui/pages/LogsPage.h"
#include "ui/pages/MicrophonePage.h"
#include "ui/pages/OnboardingPage.h"
#include "ui/pages/ShortcutsPage.h"
#include "ui/pages/StatsPage.h"
#include "ui/pages/TransformsPage.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

constexpr int kRouteRole = Qt::UserRole + 1;

// The sidebar's groups; a null route starts a new group.
struct SidebarEntry
{
    std::optional<Route> route;
    const char *group = nullptr;
};

const SidebarEntry kSidebar[] = {
    {Route::home, nullptr},       {Route::ask, nullptr},     {Route::history, nullptr},  {Route::dictionary, nullptr},
    {Route::transforms, nullptr}, {Route::stats, nullptr},   {std::nullopt, "Settings"}, {Route::shortcuts, nullptr},
    {Route::microphone, nullptr}, {Route::general, nullptr}, {Route::account, nullptr},  {std::nullopt, "More"},
    {Route::onboarding, nullptr}, {Route::logs, nullptr},    {Route::admin, nullptr},    {Route::about, nullptr},
};

} // namespace

MainWindow::MainWindow(ServiceContainer &services, QWidget *parent) : QMainWindow(parent), m_services(services)
{
    setWindowTitle(QStringLiteral("Dravelin"));
    setObjectName(QStringLiteral("main"));
    resize(980, 700);
    setMinimumSize(760, 520);
    m_gate = new QStackedWidget(this);
    m_gate->addWidget(buildSignInPage());
    m_gate->addWidget(buildShell());
    setCentralWidget(m_gate);

    // Ctrl+Comma opens the settings, as in most desktop applications.
    auto *settingsAction = new QAction(this);
    settingsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settingsAction, &QAction::triggered, this, [this] { present(Route::general); });
    addAction(settingsAction);
    auto *closeAction = new QAction(this);
    closeAction->setShortcut(QKeySequence::Close);
    connect(closeAction, &QAction::triggered, this, &QWidget::close);
    addAction(closeAction);

    Navigator &navigator = Navigator::instance();
    connect(&navigator, &Navigator::mainWindowRequested, this, [this] { present(); });
    connect(&navigator, &Navigator::routeRequested, this, [this](Route route) { present(route); });
    connect(&navigator, &Navigator::signInRequested, this, [this] { present(Route::account); });
    connect(&m_services.auth(), &AuthService::userChanged, this, [this] {
        refreshSidebar();
        showGateOrShell();
    });

    auto *uptimeTimer = new QTimer(this);
    uptimeTimer->setInterval(30'000);
    connect(uptimeTimer, &QTimer::timeout, this, &MainWindow::refreshUptime);
    uptimeTimer->start();
    refreshSidebar();
    refreshUptime();
    m_gate->setCurrentIndex(m_services.auth().isSignedIn() ? 1 : 0);
}

MainWindow::~MainWindow() = default;

void MainWindow::present(std::optional<Route> route)
{
    const bool wasVisible = isVisible();
    const bool signedIn = m_services.auth().isSignedIn();
    // A signed-in user who has not finished onboarding starts there.
    if (!route && !wasVisible && signedIn && !onboardingSettings::isCompleted(m_services.defaults()))
        route = Route::onboarding;
    if (!route && !m_shown)
        route = Route::home;
    if (route) {
        navigate(*route); // shows the sign-in gate instead while signed out
    } else {
        m_gate->setCurrentIndex(signedIn ? 1 : 0);
        if (!wasVisible && m_shown)
            m_shown->pageShown();
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_shown)
        m_shown->pageHidden();
    hide();
    event->ignore();
}

void MainWindow::showGateOrShell()
{
    const bool signedIn = m_services.auth().isSignedIn();
    m_gate->setCurrentIndex(signedIn ? 1 : 0);
    // Screens are built when the window shows; present() picks the first.
    if (signedIn && !m_shown && isVisible())
        navigate(Route::home);
}

std::optional<Route> MainWindow::currentRoute() const
{
    for (const auto &[route, built] : m_built) {
        if (built == m_shown)
            return route;
    }
    return std::nullopt;
}

void MainWindow::navigate(Route route)
{
    if (!m_services.auth().isSignedIn()) {
        m_gate->setCurrentIndex(0);
        return;
    }
    m_gate->setCurrentIndex(1);
    Page *next = page(route);
    if (next != m_shown) {
        if (m_shown)
            m_shown->pageHidden();
        m_shown = next;
        m_pages->setCurrentWidget(next);
    }
    next->pageShown();
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (item->data(kRouteRole).toString() == route::rawValue(route)) {
            const QSignalBlocker quiet(m_sidebar);
            m_sidebar->setCurrentRow(row);
        }
    }
    logs::info(logs::app(), QStringLiteral("Main window route: %1").arg(route::rawValue(route)));
}

Page *MainWindow::page(Route route)
{
    if (auto found = m_built.find(route); found != m_built.end())
        return found->second;
    Page *built = nullptr;
    switch (route) {
    case Route::home:
        built = new HomePage(m_services, m_pages);
        break;
    case Route::ask:
        built = new AskPage(m_services, m_pages);
        break;
    case Route::history:
        built = new HistoryPage(m_services, m_pages);
        break;
    case Route::transforms:
        built = new TransformsPage(m_services, m_pages);
        break;
    case Route::dictionary:
        built = new DictionaryPage(m_services, m_pages);
        break;
    case Route::logs:
        built = new LogsPage(m_services, m_pages);
        break;
    case Route::stats:
        built = new StatsPage(m_services, m_pages);
        break;
    case Route::admin:
        built = new AdminPage(m_services, m_pages);
        break;
    case Route::shortcuts:
        built = new ShortcutsPage(m_services, m_pages);
        break;
    case Route::microphone:
        built = new MicrophonePage(m_services, m_pages);
        break;
    case Route::general:
        built = new GeneralPage(m_services, m_pages);
        break;
    case Route::onboarding:
        built = new OnboardingPage(m_services, m_pages);
        break;
    case Route::account:
        built = new AccountPage(m_services, m_pages);
        break;
    case Route::about:
        built = new AboutPage(m_services, m_pages);
        break;
    }
    built->setObjectName(route::rawValue(route));
    m_pages->addWidget(built);
    m_built[route] = built;
    return built;
}

QWidget *MainWindow::buildShell()
{
    auto *shell = new QWidget(this);
    auto *row = new QHBoxLayout(shell);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    auto *sidebar = new QFrame(shell);
    sidebar->setObjectName(QStringLiteral("sidebar"));
    sidebar->setFixedWidth(214);
    sidebar->setAutoFillBackground(true);
    sidebar->setBackgroundRole(QPalette::AlternateBase);
    auto *column = new QVBoxLayout(sidebar);
    column->setContentsMargins(12, 18, 12, 12);
    column->setSpacing(6);
    auto *name = style::heading(QStringLiteral("Dravelin"), sidebar, 1.35);
    name->setContentsMargins(8, 0, 0, 0);
    column->addWidget(name);
    m_accountLine = style::note(QString(), sidebar);
    m_accountLine->setContentsMargins(8, 0, 0, 6);
    m_accountLine->setWordWrap(false);
    column->addWidget(m_accountLine);

    m_sidebar = new QListWidget(sidebar);
    m_sidebar->setAccessibleName(QStringLiteral("Sections"));
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_sidebar->setBackgroundRole(QPalette::AlternateBase);
    m_sidebar->viewport()->setBackgroundRole(QPalette::AlternateBase);
    m_sidebar->setStyleSheet(QStringLiteral("QListWidget { outline: 0; }"
                                            "QListWidget::item { padding: 6px 8px; border-radius: 6px; }"
                                            "QListWidget::item:selected { background: palette(highlight); "
                                            "color: palette(highlighted-text); }"));
    for (const SidebarEntry &entry : kSidebar) {
        auto *item = new QListWidgetItem(m_sidebar);
        if (!entry.route) {
            item->setText(QString::fromLatin1(entry.group).toUpper());
            item->setFlags(Qt::NoItemFlags);
            QFont font = item->font();
            font.setPointSizeF(font.pointSizeF() * 0.8);
            font.setBold(true);
            item->setFont(font);
            item->setSizeHint(QSize(0, 34));
            item->setTextAlignment(Qt::AlignLeft | Qt::AlignBottom);
            continue;
        }
        item->setText(route::title(*entry.route));
        item->setData(kRouteRole, route::rawValue(*entry.route));
    }
    column->addWidget(m_sidebar, 1);
    m_uptime = style::note(QString(), sidebar);
    m_uptime->setContentsMargins(8, 0, 0, 0);
    m_uptime->setAccessibleName(QStringLiteral("Uptime"));
    column->addWidget(m_uptime);
    connect(m_sidebar, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        if (!item)
            return;
        if (const auto route = route::fromRawValue(item->data(kRouteRole).toString()))
            navigate(*route);
    });
    row->addWidget(sidebar);

    auto *divider = new QFrame(shell);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    row->addWidget(divider);

    m_pages = new QStackedWidget(shell);
    row->addWidget(m_pages, 1);
    return shell;
}

void MainWindow::refreshSidebar()
{
    const auto &user = m_services.auth().user();
    const bool admin = user && user->isAdmin();
    for (int row = 0; row < m_sidebar->count(); ++row) {
        QListWidgetItem *item = m_sidebar->item(row);
        if (item->data(kRouteRole).toString() == route::rawValue(Route::admin))
            item->setHidden(!admin);
    }
    const QString email = user ? user->email : QString();
    m_accountLine->setText(m_accountLine->fontMetrics().elidedText(email, Qt::ElideMiddle, 180));
    m_accountLine->setToolTip(email);
    if (!admin && currentRoute() == Route::admin)
        navigate(Route::home);
}

void MainWindow::refreshUptime()
{
    m_uptime->setText(uptimeText(Navigator::processStart().secsTo(QDateTime::currentDateTimeUtc())));
}

QWidget *MainWindow::buildSignInPage()
{
    auto *page = new QWidget(this);
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(64, 48, 64, 48);
    column->addStretch(1);
    column->addWidget(style::heading(QStringLiteral("Welcome to Dravelin"), page, 1.9));
    column->addWidget(style::note(QStringLiteral("Dictate into any application: press your shortcut, speak, and "
                                                 "the words are typed where your cursor is. Sign in to get started."),
                                  page));
    column->addSpacing(16);
    auto *buttons = new QHBoxLayout;
    m_signInButton = new QPushButton(QStringLiteral("Sign in with your browser"), page);
    m_signInButton->setDefault(true);
    m_cancelSignIn = new QPushButton(QStringLiteral("Cancel"), page);
    m_cancelSignIn->setVisible(false);
    buttons->addWidget(m_signInButton);
    buttons->addWidget(m_cancelSignIn);
    buttons->addStretch(1);
    column->addLayout(buttons);
    m_signInStatus = new QLabel(page);
    m_signInStatus->setWordWrap(true);
    m_signInStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_signInStatus);
    column->addStretch(2);

    connect(m_signInButton, &QPushButton::clicked, this, [this] { signIn(); });
    connect(m_cancelSignIn, &QPushButton::clicked, this, [this] { m_services.auth().cancelSignIn(); });
    connect(&m_services.auth(), &AuthService::browserSignInStarted, this, [this](const QUrl &url) {
        m_signInStatus->setText(
            QStringLiteral("Finish signing in in your browser. If it did not open, visit:\n%1").arg(url.toString()));
    });
    connect(&m_services.auth(), &AuthService::keyringWaiting, this, [this] {
        if (m_signingIn)
            m_signInStatus->setText(QStringLiteral("Signed in. Waiting for the keyring to save your sign-in; it may "
                                                   "be asking you to unlock it."));
    });
    return page;
}

QCoro::Task<> MainWindow::signIn()
{
    if (m_signingIn)
        co_return;
    QPointer<MainWindow> self(this);
    m_signingIn = true;
    m_signInButton->setEnabled(false);
    m_cancelSignIn->setVisible(true);
    m_signInStatus->setText(QStringLiteral("Opening your browser…"));
    AuthService &auth = m_services.auth();
    const auto result = co_await auth.signInViaBrowser();
    if (!self)
        co_return;
    m_signingIn = false;
    m_signInButton->setEnabled(true);
    m_cancelSignIn->setVisible(false);
    if (result) {
        m_signInStatus->clear();
        // A new user goes through onboarding next.
        navigate(onboardingSettings::isCompleted(m_services.defaults()) ? Route::home : Route::onboarding);
    } else {
        m_signInStatus->setText(result.error().description());
    }
}

} // namespace dravelin::ui
