#include "ui/TransformsPanel.h"

#include "hotkeys/HotkeyService.h"
#include "hotkeys/RebindRules.h"
#include "pipeline/ServiceContainer.h"
#include "text/TransformService.h"
#include "ui/RebindDialog.h"
#include "ui/ShortcutText.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

// Name, description and instruction of one of the user's transforms; none
// when the user cancels.
struct TransformDraft
{
    QString name;
    QString description;
    QString prompt;
};

std::optional<TransformDraft> editTransform(QWidget *parent, const QString &title, const TransformDraft &initial)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    auto *form = new QFormLayout(&dialog);
    auto *name = new QLineEdit(initial.name, &dialog);
    name->setPlaceholderText(QStringLiteral("Pirate"));
    auto *description = new QLineEdit(initial.description, &dialog);
    description->setPlaceholderText(QStringLiteral("Rewrite it the way a pirate would say it."));
    auto *prompt = new QPlainTextEdit(initial.prompt, &dialog);
    prompt->setPlaceholderText(QStringLiteral("Rewrite the user's text as a pirate would say it. Keep names and "
                                              "numbers."));
    prompt->setMinimumHeight(120);
    form->addRow(QStringLiteral("Name"), name);
    form->addRow(QStringLiteral("Description"), description);
    form->addRow(QStringLiteral("Instruction"), prompt);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    QPushButton *save = buttons->button(QDialogButtonBox::Save);
    const auto check = [=] {
        save->setEnabled(!name->text().trimmed().isEmpty() && !prompt->toPlainText().trimmed().isEmpty());
    };
    QObject::connect(name, &QLineEdit::textChanged, &dialog, check);
    QObject::connect(prompt, &QPlainTextEdit::textChanged, &dialog, check);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    check();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return TransformDraft{name->text().trimmed(), description->text().trimmed(), prompt->toPlainText().trimmed()};
}

} // namespace

TransformsPanel::TransformsPanel(ServiceContainer &services, QWidget *parent) : QWidget(parent), m_services(services)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto *hint = new QLabel(QStringLiteral("Select text in any application and press a transform's shortcut: the "
                                           "selection is rewritten in place."),
                            this);
    hint->setWordWrap(true);
    hint->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(hint);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("transforms"));
    m_list->setMinimumHeight(260);
    m_list->setAlternatingRowColors(true);
    column->addWidget(m_list);
    auto *buttons = new QHBoxLayout;
    auto *add = new QPushButton(QStringLiteral("Add…"), this);
    m_edit = new QPushButton(QStringLiteral("Edit…"), this);
    m_delete = new QPushButton(QStringLiteral("Delete"), this);
    m_shortcut = new QPushButton(QStringLiteral("Shortcut…"), this);
    m_clearShortcut = new QPushButton(QStringLiteral("No shortcut"), this);
    buttons->addWidget(add);
    buttons->addWidget(m_edit);
    buttons->addWidget(m_delete);
    buttons->addStretch(1);
    buttons->addWidget(m_shortcut);
    buttons->addWidget(m_clearShortcut);
    column->addLayout(buttons);

    connect(add, &QPushButton::clicked, this, &TransformsPanel::add);
    connect(m_edit, &QPushButton::clicked, this, &TransformsPanel::edit);
    connect(m_delete, &QPushButton::clicked, this, &TransformsPanel::remove);
    connect(m_shortcut, &QPushButton::clicked, this, &TransformsPanel::bindShortcut);
    connect(m_clearShortcut, &QPushButton::clicked, this, [this] {
        if (const auto t = selected())
            m_services.transforms().setHotkey(t->id, std::nullopt);
    });
    connect(m_list, &QListWidget::currentRowChanged, this, &TransformsPanel::updateButtons);
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this] {
        const auto t = selected();
        if (t && t->isBuiltIn)
            bindShortcut();
        else
            edit();
    });
    connect(&m_services.transforms(), &TransformService::transformsChanged, this, &TransformsPanel::refresh);
    refresh();
}

void TransformsPanel::refresh()
{
    const int current = m_list->currentRow();
    m_list->clear();
    for (const Transform &t : m_services.transforms().transforms()) {
        auto *item = new QListWidgetItem(m_list);
        item->setData(Qt::UserRole, t.id);
        item->setToolTip(t.prompt);
        // Name and shortcut on the first line, the description under them.
        auto *row = new QWidget(m_list);
        auto *grid = new QGridLayout(row);
        grid->setContentsMargins(8, 6, 8, 6);
        grid->setVerticalSpacing(2);
        auto *name = new QLabel(t.isBuiltIn ? t.name : t.name + QStringLiteral("  ·  yours"), row);
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        auto *key = new QLabel(
            t.hotkey ? shortcutText(*t.hotkey, m_services.keyboardLayout()) : QStringLiteral("No shortcut"), row);
        key->setForegroundRole(t.hotkey ? QPalette::WindowText : QPalette::PlaceholderText);
        auto *description = new QLabel(t.description.isEmpty() ? t.prompt : t.description, row);
        description->setForegroundRole(QPalette::PlaceholderText);
        description->setWordWrap(true);
        grid->addWidget(name, 0, 0);
        grid->addWidget(key, 0, 1, Qt::AlignRight);
        grid->addWidget(description, 1, 0, 1, 2);
        grid->setColumnStretch(0, 1);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
    }
    m_list->setCurrentRow(std::min(current, m_list->count() - 1));
    updateButtons();
}

std::optional<Transform> TransformsPanel::selected() const
{
    const QListWidgetItem *item = m_list->currentItem();
    if (!item)
        return std::nullopt;
    return m_services.transforms().transform(item->data(Qt::UserRole).toUuid());
}

void TransformsPanel::updateButtons()
{
    const auto t = selected();
    m_edit->setEnabled(t && !t->isBuiltIn);
    m_delete->setEnabled(t && !t->isBuiltIn);
    m_shortcut->setEnabled(t && m_services.hotkeyService());
    m_clearShortcut->setEnabled(t && t->hotkey);
}

void TransformsPanel::add()
{
    if (const auto draft = editTransform(this, QStringLiteral("New transform"), {})) {
        m_services.transforms().add(draft->name, draft->description, draft->prompt, std::nullopt);
        m_list->setCurrentRow(m_list->count() - 1);
    }
}

void TransformsPanel::edit()
{
    const auto t = selected();
    if (!t || t->isBuiltIn)
        return;
    if (const auto draft =
            editTransform(this, QStringLiteral("Edit transform"), {t->name, t->description, t->prompt})) {
        m_services.transforms().update(t->id, [&](Transform &each) {
            each.name = draft->name;
            each.description = draft->description;
            each.prompt = draft->prompt;
        });
    }
}

void TransformsPanel::remove()
{
    const auto t = selected();
    if (!t || t->isBuiltIn)
        return;
    if (QMessageBox::question(this, QStringLiteral("Delete transform"),
                              QStringLiteral("Delete “%1”? Its shortcut is released.").arg(t->name)) ==
        QMessageBox::Yes)
        m_services.transforms().remove(t->id);
}

void TransformsPanel::bindShortcut()
{
    HotkeyService *hotkeys = m_services.hotkeyService();
    const auto t = selected();
    if (!hotkeys || !t)
        return;
    QList<TransformHotkey> others;
    for (const Transform &each : m_services.transforms().transforms())
        others.append({each.id, each.name, each.hotkey});
    const RebindTarget target = RebindTarget::transformHotkey(t->id, t->name);
    const HotkeyBindings bindings = hotkeys->bindings();
    RebindDialog dialog(
        target, t->hotkey.value_or(HotkeyBinding{}),
        [target, bindings, others](const HotkeyBinding &draft) {
            return rebind::conflictLabel(target, draft, bindings, others);
        },
        hotkeys, m_services.keyboardLayout(), this);
    if (dialog.exec() == QDialog::Accepted)
        m_services.transforms().setHotkey(t->id, dialog.draft());
}

} // namespace dravelin::ui
