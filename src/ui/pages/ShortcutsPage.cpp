#include "ui/pages/ShortcutsPage.h"

#include "core/UserDefaults.h"
#include "hotkeys/HotkeyService.h"
#include "hotkeys/RecordingMode.h"
#include "pipeline/ServiceContainer.h"
#include "text/TransformService.h"
#include "ui/RebindDialog.h"
#include "ui/ShortcutText.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace dravelin::ui {

QString shortcutProblemText(GlobalHotkeyGrabber::GrabStatus status)
{
    switch (status) {
    case GlobalHotkeyGrabber::GrabStatus::taken:
        return QStringLiteral("Another application already uses this shortcut, so it does nothing here. "
                              "Pick a different one.");
    case GlobalHotkeyGrabber::GrabStatus::unsupportedKey:
        return QStringLiteral("This keyboard has no such key. Pick a different shortcut.");
    case GlobalHotkeyGrabber::GrabStatus::unavailable:
        return QStringLiteral("Global shortcuts need an X11 session.");
    case GlobalHotkeyGrabber::GrabStatus::ok:
        break;
    }
    return {};
}

ShortcutsPage::ShortcutsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Shortcuts"),
                                   QStringLiteral("These work in every application. Click a shortcut to change it."));
    auto *shortcuts = style::section(QStringLiteral("Global shortcuts"), this);
    auto *rows = new QVBoxLayout(shortcuts);
    for (HotkeyRole role : {HotkeyRole::record, HotkeyRole::privatePaste, HotkeyRole::rewrite, HotkeyRole::cancel})
        rows->addWidget(buildRow(role));
    column->addWidget(shortcuts);

    UserDefaults &defaults = m_services.defaults();
    auto *behaviour = style::section(QStringLiteral("Recording"), this);
    auto *form = new QFormLayout(behaviour);
    auto *mode = new QComboBox(behaviour);
    mode->setAccessibleName(QStringLiteral("Record shortcut works as"));
    for (RecordingMode each : kAllRecordingModes) {
        mode->addItem(recordingMode::label(each));
        if (each == recordingMode::persisted(defaults))
            mode->setCurrentIndex(mode->count() - 1);
    }
    connect(mode, &QComboBox::currentIndexChanged, this, [&defaults](int index) {
        if (index >= 0 && static_cast<size_t>(index) < kAllRecordingModes.size())
            recordingMode::persist(kAllRecordingModes[static_cast<size_t>(index)], defaults);
    });
    form->addRow(QStringLiteral("Record shortcut works as"), mode);
    form->addRow(style::note(QStringLiteral("Toggle: press once to start and again to stop. Hold: speak while "
                                            "the keys are held down."),
                             behaviour));
    column->addWidget(behaviour);
    column->addWidget(style::note(QStringLiteral("Transforms have shortcuts of their own: set them on the "
                                                 "Transforms page."),
                                  this));
    // Where global grabs do not work (Wayland), the desktop's own shortcut
    // settings can run the command instead.
    column->addWidget(style::note(QStringLiteral("Shortcuts not working on your desktop? Add a custom shortcut in "
                                                 "your desktop's keyboard settings with the command "
                                                 "dravelin --toggle."),
                                  this));
    column->addStretch(1);

    if (HotkeyService *hotkeys = m_services.hotkeyService()) {
        connect(hotkeys, &HotkeyService::bindingsChanged, this, &ShortcutsPage::refresh);
        connect(hotkeys, &HotkeyService::registrationChanged, this, &ShortcutsPage::refresh);
    }
    refresh();
}

QWidget *ShortcutsPage::buildRow(HotkeyRole role)
{
    auto *row = new QWidget(this);
    auto *grid = new QGridLayout(row);
    grid->setContentsMargins(0, 4, 0, 4);
    auto *name = new QLabel(hotkeySettings::label(role), row);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    grid->addWidget(name, 0, 0);
    grid->addWidget(style::note(hotkeySettings::description(role), row), 1, 0);
    auto *button = new QPushButton(row);
    button->setMinimumWidth(160);
    button->setAccessibleName(hotkeySettings::label(role));
    grid->addWidget(button, 0, 1, 2, 1);
    QLabel *problem = style::problem(row);
    grid->addWidget(problem, 2, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    connect(button, &QPushButton::clicked, this, [this, role] { rebindShortcut(m_services, role, this); });
    m_rows[role] = {button, problem};
    return row;
}

void ShortcutsPage::refresh()
{
    HotkeyService *hotkeys = m_services.hotkeyService();
    for (auto &[role, row] : m_rows) {
        if (!hotkeys) {
            row.button->setText(QStringLiteral("Unavailable"));
            row.button->setEnabled(false);
            continue;
        }
        const auto binding = hotkeys->bindings().get(role);
        row.button->setText(binding ? shortcutText(*binding, m_services.keyboardLayout()) : QStringLiteral("Unbound"));
        const auto problem = hotkeys->problem(role);
        const QString text = problem ? shortcutProblemText(*problem) : QString();
        row.problem->setText(text);
        row.problem->setVisible(!text.isEmpty());
    }
}

void rebindShortcut(ServiceContainer &services, HotkeyRole role, QWidget *parent)
{
    HotkeyService *hotkeys = services.hotkeyService();
    if (!hotkeys)
        return;
    const RebindTarget target = RebindTarget::forRole(role);
    const auto current = hotkeys->bindings().get(role);
    const HotkeyBindings bindings = hotkeys->bindings();
    QList<TransformHotkey> transforms;
    for (const Transform &t : services.transforms().transforms())
        transforms.append({t.id, t.name, t.hotkey});
    RebindDialog dialog(
        target, current.value_or(HotkeyBinding{}),
        [target, bindings, transforms](const HotkeyBinding &draft) {
            return rebind::conflictLabel(target, draft, bindings, transforms);
        },
        hotkeys, services.keyboardLayout(), parent);
    if (dialog.exec() == QDialog::Accepted)
        hotkeys->updateBinding(role, dialog.draft());
}

} // namespace dravelin::ui
