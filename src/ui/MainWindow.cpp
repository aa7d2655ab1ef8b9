#include "ui/MainWindow.h"

#include "account/AuthService.h"
#include "audio/MicCaptureSession.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "hotkeys/HotkeyService.h"
#include "hotkeys/RecordingMode.h"
#include "pipeline/ServiceContainer.h"
#include "platform/AudioCapture.h"
#include "system/SoundFeedback.h"
#include "system/ThemeService.h"
#include "text/Cleanup.h"
#include "text/TransformService.h"
#include "ui/RebindDialog.h"
#include "ui/ShortcutText.h"
#include "ui/TransformsPanel.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <thread>

namespace dravelin::ui {

namespace {

constexpr const char *kOnboardingCompletedKey = "onboarding.completed";

QLabel *heading(const QString &text, QWidget *parent, double scale = 1.6)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
    return label;
}

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// A check box bound to a Boolean setting.
QCheckBox *settingCheckBox(const QString &text, UserDefaults &defaults, const char *key, bool checked, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->setChecked(checked);
    QObject::connect(box, &QCheckBox::toggled, parent,
                     [&defaults, key](bool on) { defaults.set(QString::fromLatin1(key), on); });
    return box;
}

} // namespace

MainWindow::MainWindow(ServiceContainer &services, QWidget *parent) : QMainWindow(parent), m_services(services)
{
    setWindowTitle(QStringLiteral("Dravelin"));
    setObjectName(QStringLiteral("main"));
    resize(640, 760);
    m_pages = new QStackedWidget(this);
    m_pages->addWidget(buildSignInPage());
    m_pages->addWidget(buildSettingsPage());
    setCentralWidget(m_pages);

    // Ctrl+Comma shows the settings, as in most desktop applications.
    auto *settingsAction = new QAction(this);
    settingsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settingsAction, &QAction::triggered, this, [this] {
        showCurrentPage();
        present();
    });
    addAction(settingsAction);
    auto *closeAction = new QAction(this);
    closeAction->setShortcut(QKeySequence::Close);
    connect(closeAction, &QAction::triggered, this, &QWidget::close);
    addAction(closeAction);

    connect(&m_services.auth(), &AuthService::userChanged, this, [this] {
        refreshAccount();
        showCurrentPage();
    });
    if (HotkeyService *hotkeys = m_services.hotkeyService()) {
        connect(hotkeys, &HotkeyService::bindingsChanged, this, &MainWindow::refreshShortcuts);
        connect(hotkeys, &HotkeyService::registrationChanged, this, &MainWindow::refreshShortcuts);
    }
    refreshAccount();
    refreshShortcuts();
    showCurrentPage();
}

MainWindow::~MainWindow() = default;

void MainWindow::present()
{
    loadMicrophones();
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Once the user has seen the settings after signing in, the first-run
    // check stops opening the window at every start.
    if (m_services.auth().isSignedIn())
        m_services.defaults().set(QString::fromLatin1(kOnboardingCompletedKey), true);
    hide();
    event->ignore();
}

void MainWindow::showCurrentPage()
{
    m_pages->setCurrentIndex(m_services.auth().isSignedIn() ? 1 : 0);
}

QWidget *MainWindow::buildSignInPage()
{
    auto *page = new QWidget(this);
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(48, 48, 48, 48);
    column->addStretch(1);
    column->addWidget(heading(QStringLiteral("Welcome to Dravelin"), page, 1.8));
    column->addWidget(note(QStringLiteral("Dictate into any application: press your shortcut, speak, and the "
                                          "words are typed where your cursor is. Sign in to get started."),
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
        refreshAccount();
        showCurrentPage();
    } else {
        m_signInStatus->setText(result.error().description());
    }
}

QCoro::Task<> MainWindow::signOut()
{
    AuthService &auth = m_services.auth();
    co_await auth.signOut();
}

QWidget *MainWindow::buildSettingsPage()
{
    UserDefaults &defaults = m_services.defaults();
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *page = new QWidget(scroll);
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(28, 24, 28, 24);
    column->setSpacing(14);
    column->addWidget(heading(QStringLiteral("Settings"), page));
    m_welcome = note(QStringLiteral("You're set up. Press your record shortcut in any application, speak, and "
                                    "press it again — the text is typed where your cursor is. Dravelin stays in "
                                    "the tray when you close this window."),
                     page);
    column->addWidget(m_welcome);

    // Account.
    auto *account = new QGroupBox(QStringLiteral("Account"), page);
    auto *accountRow = new QHBoxLayout(account);
    m_account = new QLabel(account);
    auto *signOutButton = new QPushButton(QStringLiteral("Sign out"), account);
    accountRow->addWidget(m_account, 1);
    accountRow->addWidget(signOutButton);
    connect(signOutButton, &QPushButton::clicked, this, [this] { signOut(); });
    column->addWidget(account);
    m_keychainWarning = new QLabel(page);
    m_keychainWarning->setWordWrap(true);
    column->addWidget(m_keychainWarning);

    // Shortcuts.
    auto *shortcuts = new QGroupBox(QStringLiteral("Shortcuts"), page);
    auto *shortcutRows = new QVBoxLayout(shortcuts);
    for (HotkeyRole role : {HotkeyRole::record, HotkeyRole::privatePaste, HotkeyRole::rewrite, HotkeyRole::cancel})
        shortcutRows->addWidget(buildShortcutRow(role));
    auto *mode = new QComboBox(shortcuts);
    for (RecordingMode each : kAllRecordingModes) {
        mode->addItem(recordingMode::label(each));
        if (each == recordingMode::persisted(defaults))
            mode->setCurrentIndex(mode->count() - 1);
    }
    connect(mode, &QComboBox::currentIndexChanged, this, [&defaults](int index) {
        if (index >= 0 && static_cast<size_t>(index) < kAllRecordingModes.size())
            recordingMode::persist(kAllRecordingModes[static_cast<size_t>(index)], defaults);
    });
    auto *modeRow = new QFormLayout;
    modeRow->addRow(QStringLiteral("Record shortcut works as"), mode);
    shortcutRows->addLayout(modeRow);
    column->addWidget(shortcuts);

    // Transforms.
    auto *transforms = new QGroupBox(QStringLiteral("Transforms"), page);
    auto *transformsColumn = new QVBoxLayout(transforms);
    transformsColumn->addWidget(new TransformsPanel(m_services, transforms));
    column->addWidget(transforms);

    // Microphone.
    auto *microphone = new QGroupBox(QStringLiteral("Microphone"), page);
    auto *micRow = new QFormLayout(microphone);
    m_microphone = new QComboBox(microphone);
    m_microphone->addItem(QStringLiteral("System default"), QString());
    micRow->addRow(QStringLiteral("Record from"), m_microphone);
    connect(m_microphone, &QComboBox::activated, this, [this, &defaults](int index) {
        const QString id = m_microphone->itemData(index).toString();
        if (id.isEmpty())
            defaults.remove(QString::fromLatin1(MicCaptureSession::kDeviceKey));
        else
            defaults.set(QString::fromLatin1(MicCaptureSession::kDeviceKey), id);
    });
    column->addWidget(microphone);

    // Text.
    auto *text = new QGroupBox(QStringLiteral("Text"), page);
    auto *textColumn = new QVBoxLayout(text);
    textColumn->addWidget(settingCheckBox(QStringLiteral("Tidy punctuation, casing and filler words"), defaults,
                                          CleanupSettings::kEnabledKey, CleanupSettings::isEnabled(defaults), text));
    textColumn->addWidget(settingCheckBox(QStringLiteral("Remove filler words (um, uh, …)"), defaults,
                                          FillerWordsSettings::kEnabledKey, FillerWordsSettings::isEnabled(defaults),
                                          text));
    column->addWidget(text);

    // Sounds and appearance.
    auto *feel = new QGroupBox(QStringLiteral("Sounds and appearance"), page);
    auto *feelForm = new QFormLayout(feel);
    auto *sounds = new QCheckBox(QStringLiteral("Play a sound when recording starts and stops"), feel);
    sounds->setChecked(m_services.sounds().enabled());
    connect(sounds, &QCheckBox::toggled, &m_services.sounds(), &SoundFeedback::setEnabled);
    feelForm->addRow(sounds);
    if (ThemeService *theme = m_services.theme()) {
        auto *appearance = new QComboBox(feel);
        appearance->addItem(QStringLiteral("Light"));
        appearance->addItem(QStringLiteral("Dark"));
        appearance->setCurrentIndex(theme->mode() == ThemeService::Mode::dark ? 1 : 0);
        connect(appearance, &QComboBox::currentIndexChanged, theme, [theme](int index) {
            theme->setMode(index == 1 ? ThemeService::Mode::dark : ThemeService::Mode::light);
        });
        feelForm->addRow(QStringLiteral("Appearance"), appearance);
    }
    column->addWidget(feel);
    column->addStretch(1);
    scroll->setWidget(page);
    return scroll;
}

QWidget *MainWindow::buildShortcutRow(HotkeyRole role)
{
    auto *row = new QWidget(this);
    auto *grid = new QGridLayout(row);
    grid->setContentsMargins(0, 4, 0, 4);
    auto *name = new QLabel(hotkeySettings::label(role), row);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    grid->addWidget(name, 0, 0);
    grid->addWidget(note(hotkeySettings::description(role), row), 1, 0);
    auto *button = new QPushButton(row);
    button->setMinimumWidth(140);
    button->setAccessibleName(hotkeySettings::label(role));
    grid->addWidget(button, 0, 1, 2, 1);
    auto *problem = new QLabel(row);
    problem->setWordWrap(true);
    problem->setStyleSheet(QStringLiteral("color: #c0392b;"));
    problem->setVisible(false);
    grid->addWidget(problem, 2, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    connect(button, &QPushButton::clicked, this, [this, role] { rebind(role); });
    m_shortcuts[role] = {button, problem};
    return row;
}

void MainWindow::refreshShortcuts()
{
    HotkeyService *hotkeys = m_services.hotkeyService();
    if (!hotkeys)
        return;
    for (auto &[role, row] : m_shortcuts) {
        const auto binding = hotkeys->bindings().get(role);
        row.button->setText(binding ? shortcutText(*binding, m_services.keyboardLayout()) : QStringLiteral("Unbound"));
        const auto problem = hotkeys->problem(role);
        QString text;
        if (problem == GlobalHotkeyGrabber::GrabStatus::taken)
            text = QStringLiteral("Another application already uses this shortcut, so it does nothing here. "
                                  "Pick a different one.");
        else if (problem == GlobalHotkeyGrabber::GrabStatus::unsupportedKey)
            text = QStringLiteral("This keyboard has no such key. Pick a different shortcut.");
        else if (problem == GlobalHotkeyGrabber::GrabStatus::unavailable)
            text = QStringLiteral("Global shortcuts need an X11 session.");
        row.problem->setText(text);
        row.problem->setVisible(!text.isEmpty());
    }
}

void MainWindow::refreshAccount()
{
    const auto &user = m_services.auth().user();
    m_account->setText(user ? QStringLiteral("Signed in as %1").arg(user->email) : QStringLiteral("Signed in"));
    const StoreHealth health = m_services.auth().keychainHealth();
    const bool warn = m_services.auth().isSignedIn() && !m_services.auth().sessionPersisted();
    m_keychainWarning->setText(
        warn ? QStringLiteral("No keyring answered, so this sign-in will not be remembered after Dravelin quits. %1")
                   .arg(health.problem)
             : QString());
    m_keychainWarning->setVisible(warn);
    m_welcome->setVisible(!m_services.defaults().boolValue(QString::fromLatin1(kOnboardingCompletedKey), false));
}

void MainWindow::rebind(HotkeyRole role)
{
    HotkeyService *hotkeys = m_services.hotkeyService();
    if (!hotkeys)
        return;
    const RebindTarget target = RebindTarget::forRole(role);
    const auto current = hotkeys->bindings().get(role);
    const HotkeyBindings bindings = hotkeys->bindings();
    QList<TransformHotkey> transforms;
    for (const Transform &t : m_services.transforms().transforms())
        transforms.append({t.id, t.name, t.hotkey});
    RebindDialog dialog(
        target, current.value_or(HotkeyBinding{}),
        [target, bindings, transforms](const HotkeyBinding &draft) {
            return rebind::conflictLabel(target, draft, bindings, transforms);
        },
        hotkeys, m_services.keyboardLayout(), this);
    if (dialog.exec() == QDialog::Accepted)
        hotkeys->updateBinding(role, dialog.draft());
}

void MainWindow::loadMicrophones()
{
    // Listing devices asks the sound server and may wait on it: off the main thread.
    QPointer<MainWindow> self(this);
    std::shared_ptr<AudioCaptureBackend> backend = m_services.captureBackend();
    std::thread([self, backend] {
        const QList<AudioInputInfo> devices = backend->inputDevices();
        QMetaObject::invokeMethod(qApp, [self, devices] {
            if (!self)
                return;
            QComboBox *box = self->m_microphone;
            const QString chosen = self->m_services.defaults()
                                       .string(QString::fromLatin1(MicCaptureSession::kDeviceKey))
                                       .value_or(QString());
            while (box->count() > 1)
                box->removeItem(1);
            for (const AudioInputInfo &device : devices) {
                if (!device.isMonitor)
                    box->addItem(device.name, device.uniqueID);
            }
            const int index = box->findData(chosen);
            box->setCurrentIndex(index < 0 ? 0 : index);
        });
    }).detach();
}

} // namespace dravelin::ui
