#include "ui/pages/DictionaryPage.h"

#include "account/AuthService.h"
#include "pipeline/ServiceContainer.h"
#include "text/VocabularyService.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

struct TermDraft
{
    QString term;
    std::optional<QString> replacement;
};

std::optional<QString> optionalText(const QString &text)
{
    const QString trimmed = text.trimmed();
    return trimmed.isEmpty() ? std::nullopt : std::optional<QString>(trimmed);
}

// The small dialog that changes a word and what it is written as; none when
// the user cancels.
std::optional<TermDraft> editDialog(QWidget *parent, const VocabularyTerm &term)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Edit word"));
    auto *form = new QFormLayout(&dialog);
    auto *word = new QLineEdit(term.term, &dialog);
    word->setAccessibleName(QStringLiteral("Word"));
    auto *replacement = new QLineEdit(term.replacement.value_or(QString()), &dialog);
    replacement->setAccessibleName(QStringLiteral("Replace with"));
    replacement->setPlaceholderText(QStringLiteral("Leave empty to keep the word as it is"));
    replacement->setMinimumWidth(280);
    form->addRow(QStringLiteral("Word"), word);
    form->addRow(QStringLiteral("Replace with"), replacement);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    QPushButton *save = buttons->button(QDialogButtonBox::Save);
    save->setAccessibleName(QStringLiteral("Save word"));
    QObject::connect(word, &QLineEdit::textChanged, &dialog,
                     [save](const QString &text) { save->setEnabled(!text.trimmed().isEmpty()); });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    replacement->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return TermDraft{word->text().trimmed(), optionalText(replacement->text())};
}

// What the filter box searches in a row: the word and its replacement.
constexpr int kSearchTextRole = Qt::UserRole + 1;

} // namespace

DictionaryPage::DictionaryPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Dictionary"),
                                   QStringLiteral("Names, jargon and other words Dravelin should spell your way. Give "
                                                  "a word a replacement to have it written as something else."),
                                   false);

    auto *syncRow = new QHBoxLayout;
    m_sync = style::note(QString(), this);
    m_sync->setAccessibleName(QStringLiteral("Dictionary sync status"));
    m_syncProblem = style::problem(this);
    m_syncProblem->setAccessibleName(QStringLiteral("Dictionary sync problem"));
    m_retry = new QPushButton(QStringLiteral("Retry"), this);
    m_retry->setAccessibleName(QStringLiteral("Retry syncing the dictionary"));
    syncRow->addWidget(m_sync, 1);
    syncRow->addWidget(m_syncProblem, 1);
    syncRow->addWidget(m_retry);
    column->addLayout(syncRow);

    auto *addRow = new QHBoxLayout;
    m_term = new QLineEdit(this);
    m_term->setPlaceholderText(QStringLiteral("Word or phrase"));
    m_term->setAccessibleName(QStringLiteral("New word"));
    m_replacement = new QLineEdit(this);
    m_replacement->setPlaceholderText(QStringLiteral("Replace with (optional)"));
    m_replacement->setAccessibleName(QStringLiteral("New word's replacement"));
    m_add = new QPushButton(QStringLiteral("Add"), this);
    m_add->setAccessibleName(QStringLiteral("Add word"));
    addRow->addWidget(m_term, 2);
    addRow->addWidget(m_replacement, 2);
    addRow->addWidget(m_add);
    column->addLayout(addRow);

    m_filter = new QLineEdit(this);
    m_filter->setPlaceholderText(QStringLiteral("Filter"));
    m_filter->setAccessibleName(QStringLiteral("Filter dictionary"));
    m_filter->setClearButtonEnabled(true);
    column->addWidget(m_filter);

    m_list = new QListWidget(this);
    m_list->setAccessibleName(QStringLiteral("Dictionary words"));
    m_list->setObjectName(QStringLiteral("dictionary"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    column->addWidget(m_list, 1);
    m_empty = style::note(QString(), this);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setAccessibleName(QStringLiteral("Dictionary empty"));
    column->addWidget(m_empty, 1);

    VocabularyService &vocabulary = services.vocabulary();
    connect(m_retry, &QPushButton::clicked, &vocabulary, &VocabularyService::refresh);
    connect(m_add, &QPushButton::clicked, this, [this] { m_tasks.track(addTerm()); });
    connect(m_term, &QLineEdit::returnPressed, m_add, &QPushButton::click);
    connect(m_replacement, &QLineEdit::returnPressed, m_add, &QPushButton::click);
    connect(m_term, &QLineEdit::textChanged, this, &DictionaryPage::refreshState);
    connect(m_filter, &QLineEdit::textChanged, this, &DictionaryPage::applyFilter);
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
        const QUuid id = QUuid::fromString(item->data(Qt::UserRole).toString());
        QMetaObject::invokeMethod(
            this, [this, id] { edit(id); }, Qt::QueuedConnection);
    });
    // Queued, so that a list rebuilt for new terms never deletes a row's
    // button while that button's click is still being handled.
    connect(&vocabulary, &VocabularyService::termsChanged, this, &DictionaryPage::rebuild, Qt::QueuedConnection);
    connect(&vocabulary, &VocabularyService::isLoadingChanged, this, &DictionaryPage::refreshState);
    connect(&vocabulary, &VocabularyService::lastErrorChanged, this, &DictionaryPage::refreshState);
    connect(&services.auth(), &AuthService::userChanged, this, &DictionaryPage::refreshState);
    rebuild();
}

DictionaryPage::~DictionaryPage() = default;

void DictionaryPage::pageShown()
{
    // Words added on another computer show up when the page is opened.
    VocabularyService &vocabulary = m_services.vocabulary();
    if (vocabulary.userId() && !vocabulary.isLoading() && m_pending == 0)
        vocabulary.refresh();
}

void DictionaryPage::rebuild()
{
    const QString selected = m_list->currentItem() ? m_list->currentItem()->data(Qt::UserRole).toString() : QString();
    m_list->clear();
    for (const VocabularyTerm &term : m_services.vocabulary().terms()) {
        const QUuid id = term.id;
        const bool busy = m_busyTerms.count(id) > 0;
        auto *row = new QWidget(m_list);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(6, 3, 6, 3);

        auto *star = new QToolButton(row);
        star->setAutoRaise(true);
        star->setText(term.isFavorite ? QStringLiteral("★") : QStringLiteral("☆"));
        star->setToolTip(term.isFavorite ? QStringLiteral("Starred words come first. Click to unstar.")
                                         : QStringLiteral("Star this word to keep it at the top"));
        star->setAccessibleName(term.isFavorite ? QStringLiteral("Unstar %1").arg(term.term)
                                                : QStringLiteral("Star %1").arg(term.term));
        layout->addWidget(star);

        auto *word = new QLabel(term.term, row);
        QFont bold = word->font();
        bold.setBold(true);
        word->setFont(bold);
        layout->addWidget(word);
        if (const auto expansion = term.expansion()) {
            auto *replacement = style::note(QStringLiteral("→  %1").arg(*expansion), row);
            replacement->setWordWrap(false);
            layout->addWidget(replacement, 1);
        } else {
            layout->addStretch(1);
        }

        auto *editButton = new QPushButton(QStringLiteral("Edit…"), row);
        editButton->setAccessibleName(QStringLiteral("Edit %1").arg(term.term));
        auto *deleteButton = new QPushButton(QStringLiteral("Delete"), row);
        deleteButton->setAccessibleName(QStringLiteral("Delete %1").arg(term.term));
        layout->addWidget(editButton);
        layout->addWidget(deleteButton);
        row->setEnabled(!busy);

        connect(star, &QToolButton::clicked, this, [this, id] { m_tasks.track(toggleFavorite(id)); });
        // Queued: the dialog's event loop must not run inside the button's
        // click, since a list rebuilt meanwhile deletes the button.
        connect(
            editButton, &QPushButton::clicked, this, [this, id] { edit(id); }, Qt::QueuedConnection);
        connect(deleteButton, &QPushButton::clicked, this, [this, id] { m_tasks.track(remove(id)); });

        auto *item = new QListWidgetItem(m_list);
        item->setData(Qt::UserRole, id.toString());
        item->setData(kSearchTextRole, QString(term.term + u'\n' + term.replacement.value_or(QString())));
        item->setData(Qt::AccessibleTextRole,
                      term.expansion() ? QStringLiteral("%1, written as %2").arg(term.term, *term.expansion())
                                       : term.term);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
        if (item->data(Qt::UserRole).toString() == selected)
            m_list->setCurrentItem(item);
    }
    applyFilter();
}

void DictionaryPage::applyFilter()
{
    const QString filter = m_filter->text().trimmed();
    int shown = 0;
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        const bool match = item->data(kSearchTextRole).toString().contains(filter, Qt::CaseInsensitive);
        item->setHidden(!match);
        shown += match ? 1 : 0;
    }
    m_list->setVisible(shown > 0);
    m_empty->setVisible(shown == 0);
    if (m_list->count() == 0)
        m_empty->setText(QStringLiteral("No words yet. Add the names and terms you use, and Dravelin will spell them "
                                        "your way."));
    else
        m_empty->setText(QStringLiteral("No words match “%1”.").arg(filter));
    refreshState();
}

void DictionaryPage::refreshState()
{
    const VocabularyService &vocabulary = m_services.vocabulary();
    const bool signedIn = vocabulary.userId().has_value();
    m_term->setEnabled(signedIn);
    m_replacement->setEnabled(signedIn);
    m_filter->setEnabled(signedIn && !vocabulary.terms().empty());
    m_add->setEnabled(signedIn && !m_term->text().trimmed().isEmpty() && !m_busyTerms.count(QUuid()));
    m_retry->setVisible(false);

    QString text;
    bool problem = false;
    if (!signedIn) {
        text = QStringLiteral("Sign in to keep a dictionary with your account.");
    } else if (m_pending > 0) {
        text = QStringLiteral("Saving…");
    } else if (vocabulary.isLoading()) {
        text = QStringLiteral("Syncing…");
    } else if (const auto &error = vocabulary.lastError()) {
        text = *error;
        problem = true;
        m_retry->setVisible(true);
    } else {
        const auto count = static_cast<int>(vocabulary.terms().size());
        text = count == 1 ? QStringLiteral("1 word · Synced") : QStringLiteral("%1 words · Synced").arg(count);
    }
    m_sync->setText(problem ? QString() : text);
    m_sync->setVisible(!problem);
    m_syncProblem->setText(problem ? text : QString());
    m_syncProblem->setVisible(problem);
}

void DictionaryPage::edit(const QUuid &id)
{
    const auto &terms = m_services.vocabulary().terms();
    const auto it = std::find_if(terms.begin(), terms.end(), [&](const auto &t) { return t.id == id; });
    if (it == terms.end() || m_busyTerms.count(id))
        return;
    // A copy: the dialog below runs an event loop that may change the list.
    const VocabularyTerm term = *it; // NOLINT(performance-unnecessary-copy-initialization)
    QPointer<DictionaryPage> self(this);
    const auto draft = editDialog(this, term);
    if (!self || !draft)
        return;
    if (draft->term == term.term && draft->replacement == term.expansion())
        return;
    m_tasks.track(update(id, draft->term, draft->replacement));
}

void DictionaryPage::began(const QUuid &id)
{
    ++m_pending;
    m_busyTerms.insert(id);
    setRowEnabled(id, false);
    refreshState();
}

void DictionaryPage::ended(const QUuid &id)
{
    --m_pending;
    m_busyTerms.erase(id);
    setRowEnabled(id, true);
    refreshState();
}

void DictionaryPage::setRowEnabled(const QUuid &id, bool enabled)
{
    // Rows are only disabled here, never rebuilt: the click that got here may
    // still be running inside one of the row's buttons.
    const QString key = id.toString();
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        if (item->data(Qt::UserRole).toString() != key)
            continue;
        if (QWidget *widget = m_list->itemWidget(item))
            widget->setEnabled(enabled);
    }
}

QCoro::Task<> DictionaryPage::addTerm()
{
    const QString term = m_term->text().trimmed();
    if (term.isEmpty() || m_busyTerms.count(QUuid()))
        co_return;
    const std::optional<QString> replacement = optionalText(m_replacement->text());
    QPointer<DictionaryPage> self(this);
    VocabularyService &vocabulary = m_services.vocabulary();
    began(QUuid());
    co_await vocabulary.add(term, replacement);
    if (!self)
        co_return;
    ended(QUuid());
    // Added (the server's copy is in the list): the fields are ready for the next word.
    const auto &terms = vocabulary.terms();
    if (std::any_of(terms.begin(), terms.end(), [&](const auto &t) { return t.term == term; })) {
        if (m_term->text().trimmed() == term) {
            m_term->clear();
            m_replacement->clear();
        }
        m_term->setFocus();
    }
}

QCoro::Task<> DictionaryPage::update(QUuid id, QString term, std::optional<QString> replacement)
{
    QPointer<DictionaryPage> self(this);
    VocabularyService &vocabulary = m_services.vocabulary();
    began(id);
    co_await vocabulary.update(id, std::move(term), std::move(replacement));
    if (self)
        ended(id);
}

QCoro::Task<> DictionaryPage::toggleFavorite(QUuid id)
{
    if (m_busyTerms.count(id))
        co_return;
    QPointer<DictionaryPage> self(this);
    VocabularyService &vocabulary = m_services.vocabulary();
    began(id);
    co_await vocabulary.toggleFavorite(id);
    if (self)
        ended(id);
}

QCoro::Task<> DictionaryPage::remove(QUuid id)
{
    if (m_busyTerms.count(id))
        co_return;
    QPointer<DictionaryPage> self(this);
    VocabularyService &vocabulary = m_services.vocabulary();
    began(id);
    co_await vocabulary.remove(id);
    if (self)
        ended(id);
}

} // namespace dravelin::ui
