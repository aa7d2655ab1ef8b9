#include "ui/pages/HistoryPage.h"

#include "account/AuthService.h"
#include "output/AudioPlaybackController.h"
#include "output/ClipboardHistory.h"
#include "output/Pasting.h"
#include "pipeline/ServiceContainer.h"
#include "ui/HistoryFilter.h"

#include <QAbstractListModel>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHelpEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <functional>
#include <set>

namespace dravelin::ui {

using Action = HistoryPage::Action;
using historyFilter::Row;

namespace {

constexpr int kMaxTextLines = 3;
constexpr int kSideMargin = 12;
constexpr int kVerticalPadding = 8;
constexpr int kGap = 6;
// How long the window needs to step aside before the focus is back in the
// application the user came from.
constexpr Millis kFocusReturnDelay{350};

QString actionTip(Action action, bool playing)
{
    switch (action) {
    case Action::copy:
        return QStringLiteral("Copy the text to the clipboard");
    case Action::paste:
        return QStringLiteral("Paste into the window you were in before this one");
    case Action::play:
        return playing ? QStringLiteral("Pause the recording") : QStringLiteral("Play the recording");
    case Action::remove:
        return QStringLiteral("Delete this dictation and its recording");
    }
    return {};
}

QIcon themeIcon(const char *name)
{
    const QString themeName = QString::fromLatin1(name);
    return QIcon::hasThemeIcon(themeName) ? QIcon::fromTheme(themeName) : QIcon();
}

} // namespace

// The history as list rows: day headings and entries.
class HistoryListModel final : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    void reset(std::vector<ClipboardEntry> entries, std::set<QUuid> withAudio, const QString &query,
               const QDateTime &now)
    {
        beginResetModel();
        m_rows = historyFilter::rows(entries, query, now);
        m_entries = std::move(entries);
        m_withAudio = std::move(withAudio);
        m_now = now;
        endResetModel();
    }

    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount({}))
            return {};
        const Row &row = m_rows[static_cast<size_t>(index.row())];
        if (row.kind == Row::Kind::day)
            return role == Qt::DisplayRole || role == Qt::AccessibleTextRole ? QVariant(row.label) : QVariant();
        const ClipboardEntry &entry = m_entries[static_cast<size_t>(row.entryIndex)];
        switch (role) {
        case Qt::DisplayRole:
            return entry.text;
        case Qt::AccessibleTextRole: {
            QString text =
                entry.text.simplified() + QStringLiteral(". ") + historyFilter::timeLabel(entry.createdAt, m_now);
            const QString where = historyFilter::destination(entry);
            if (!where.isEmpty())
                text += QStringLiteral(", ") + where;
            if (entry.aiProcessed)
                text += QStringLiteral(". Tidied up by AI");
            if (hasAudio(entry.id))
                text += QStringLiteral(". Has a recording");
            return text;
        }
        default:
            return {};
        }
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        // Headings are neither selectable nor a stop for the keyboard.
        if (isDay(index.row()))
            return Qt::NoItemFlags;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    }

    bool isDay(int row) const
    {
        return row >= 0 && row < rowCount({}) && m_rows[static_cast<size_t>(row)].kind == Row::Kind::day;
    }
    QString dayAt(int row) const { return isDay(row) ? m_rows[static_cast<size_t>(row)].label : QString(); }
    const ClipboardEntry *entryAt(int row) const
    {
        if (row < 0 || row >= rowCount({}) || isDay(row))
            return nullptr;
        return &m_entries[static_cast<size_t>(m_rows[static_cast<size_t>(row)].entryIndex)];
    }
    int rowOf(const QUuid &id) const
    {
        for (int row = 0; row < rowCount({}); ++row) {
            if (const ClipboardEntry *entry = entryAt(row); entry && entry->id == id)
                return row;
        }
        return -1;
    }
    bool hasAudio(const QUuid &id) const { return m_withAudio.count(id) > 0; }
    bool hasEntries() const { return !m_entries.empty(); }

private:
    std::vector<ClipboardEntry> m_entries;
    std::vector<Row> m_rows;
    std::set<QUuid> m_withAudio;
    QDateTime m_now;
};

// Draws an entry as up to three lines of text over a line with its time,
// where it went and an "AI" mark, with its buttons at the right of that line
// while the entry is hovered, selected or playing. Day headings are drawn as
// small muted titles.
class HistoryEntryDelegate final : public QStyledItemDelegate
{
public:
    HistoryEntryDelegate(QListView *view, HistoryListModel *model, ServiceContainer &services)
        : QStyledItemDelegate(view)
        , m_view(view)
        , m_model(model)
        , m_services(services)
    {}

    std::function<void(const QUuid &, Action)> onAction;

    void setMousePosition(std::optional<QPoint> position)
    {
        m_mouse = position;
        m_view->viewport()->update();
    }
    void forgetLayouts() { m_lines.clear(); }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QFontMetrics metrics(option.font);
        const int width = m_view->viewport()->width();
        if (m_model->isDay(index.row()))
            return {width, metrics.height() + 2 * kVerticalPadding + 4};
        const ClipboardEntry *entry = m_model->entryAt(index.row());
        const int lines = entry ? static_cast<int>(wrapped(*entry, option.font).size()) : 1;
        return {width, 2 * kVerticalPadding + lines * metrics.lineSpacing() + kGap + buttonHeight(option)};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        if (m_model->isDay(index.row()))
            paintDay(painter, option, m_model->dayAt(index.row()));
        else if (const ClipboardEntry *entry = m_model->entryAt(index.row()))
            paintEntry(painter, option, *entry);
        painter->restore();
    }

    bool editorEvent(QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override
    {
        const auto type = event->type();
        if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
            type != QEvent::MouseButtonDblClick)
            return false;
        const ClipboardEntry *entry = m_model->entryAt(index.row());
        if (!entry)
            return false;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QPoint at = mouse->position().toPoint();
        for (const Button &button : buttons(option, *entry)) {
            if (!button.rect.contains(at))
                continue;
            if (mouse->button() != Qt::LeftButton)
                return true;
            if (type == QEvent::MouseButtonPress) {
                m_pressed = std::make_pair(entry->id, button.action);
            } else if (type == QEvent::MouseButtonRelease && m_pressed == std::make_pair(entry->id, button.action)) {
                m_pressed.reset();
                if (onAction)
                    onAction(entry->id, button.action);
            }
            return true;
        }
        if (type == QEvent::MouseButtonRelease)
            m_pressed.reset();
        return false;
    }

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        const ClipboardEntry *entry = m_model->entryAt(index.row());
        if (!entry || event->type() != QEvent::ToolTip)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        for (const Button &button : buttons(option, *entry)) {
            if (button.rect.contains(event->pos())) {
                QToolTip::showText(event->globalPos(), actionTip(button.action, isPlaying(entry->id)), view,
                                   button.rect);
                return true;
            }
        }
        // The whole text, for an entry cut short.
        QToolTip::showText(event->globalPos(), entry->text.left(2000), view, option.rect);
        return true;
    }

private:
    struct Button
    {
        Action action;
        QString text;
        QIcon icon;
        QRect rect;
    };

    bool isActive(const QUuid &id) const { return m_services.playback().activeID() == id; }
    bool isPlaying(const QUuid &id) const { return isActive(id) && m_services.playback().isPlaying(); }

    const QStringList &wrapped(const ClipboardEntry &entry, const QFont &font) const
    {
        const int width = std::max(40, m_view->viewport()->width() - 2 * kSideMargin);
        auto it = m_lines.find(entry.id);
        if (it == m_lines.end() || it->first != width)
            it = m_lines.insert(entry.id, {width, historyFilter::previewLines(entry.text, font, width, kMaxTextLines)});
        return it->second;
    }

    QStyleOptionToolButton buttonOption(const QStyleOptionViewItem &item, const QString &text, const QIcon &icon) const
    {
        QStyleOptionToolButton option;
        option.initFrom(m_view);
        option.font = item.font;
        option.fontMetrics = QFontMetrics(item.font);
        option.text = text;
        option.icon = icon;
        option.iconSize = QSize(16, 16);
        option.toolButtonStyle = icon.isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextBesideIcon;
        option.subControls = QStyle::SC_ToolButton;
        option.state = QStyle::State_Enabled | QStyle::State_AutoRaise;
        return option;
    }

    QSize buttonSize(const QStyleOptionViewItem &item, const QString &text, const QIcon &icon) const
    {
        const QStyleOptionToolButton option = buttonOption(item, text, icon);
        QSize contents = option.fontMetrics.size(Qt::TextShowMnemonic, text);
        if (!icon.isNull())
            contents = QSize(contents.width() + option.iconSize.width() + 4,
                             std::max(contents.height(), option.iconSize.height()));
        const QStyle *style = m_view->style();
        return style->sizeFromContents(QStyle::CT_ToolButton, &option, contents, m_view)
            .expandedTo(QSize(0, contents.height() + 8));
    }

    int buttonHeight(const QStyleOptionViewItem &item) const
    {
        return buttonSize(item, QStringLiteral("Copy"), m_icons.copy).height();
    }

    std::vector<Button> buttons(const QStyleOptionViewItem &option, const ClipboardEntry &entry) const
    {
        std::vector<Button> result;
        result.push_back({Action::copy, QStringLiteral("Copy"), m_icons.copy, {}});
        if (m_services.pastesOnDesktop())
            result.push_back({Action::paste, QStringLiteral("Paste"), m_icons.paste, {}});
        if (m_model->hasAudio(entry.id)) {
            const bool playing = isPlaying(entry.id);
            result.push_back({Action::play,
                              playing ? QStringLiteral("Pause") : QStringLiteral("Play"),
                              playing ? m_icons.pause : m_icons.play,
                              {}});
        }
        result.push_back({Action::remove, QStringLiteral("Delete"), m_icons.remove, {}});
        // Right-aligned on the entry's last line.
        const QRect area = option.rect.adjusted(kSideMargin, kVerticalPadding, -kSideMargin, -kVerticalPadding);
        int right = area.right();
        for (auto it = result.rbegin(); it != result.rend(); ++it) {
            const QSize size = buttonSize(option, it->text, it->icon);
            it->rect = QRect(right - size.width() + 1, area.bottom() - size.height() + 1, size.width(), size.height());
            right -= size.width() + 2;
        }
        return result;
    }

    void paintDay(QPainter *painter, const QStyleOptionViewItem &option, const QString &label) const
    {
        QFont font = option.font;
        font.setBold(true);
        painter->setFont(font);
        painter->setPen(option.palette.color(QPalette::Active, QPalette::PlaceholderText));
        const QRect area = option.rect.adjusted(kSideMargin, kVerticalPadding + 4, -kSideMargin, -kVerticalPadding);
        painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter, label);
    }

    void paintEntry(QPainter *painter, const QStyleOptionViewItem &option, const ClipboardEntry &entry) const
    {
        const QWidget *widget = m_view;
        QStyle *style = widget->style();
        QStyleOptionViewItem panel = option;
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
        const QColor text = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        QColor muted = option.palette.color(group, QPalette::PlaceholderText);
        if (selected) {
            muted = text;
            muted.setAlpha(190);
        }

        const QRect area = option.rect.adjusted(kSideMargin, kVerticalPadding, -kSideMargin, -kVerticalPadding);
        const QFontMetrics metrics(option.font);
        painter->setFont(option.font);
        painter->setPen(text);
        int y = area.top();
        for (const QString &line : wrapped(entry, option.font)) {
            painter->drawText(QRect(area.left(), y, area.width(), metrics.lineSpacing()),
                              Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
            y += metrics.lineSpacing();
        }

        const std::vector<Button> shownButtons = buttons(option, entry);
        const bool showButtons =
            (option.state & (QStyle::State_MouseOver | QStyle::State_Selected)) || isActive(entry.id);
        const int buttonsLeft = shownButtons.empty() ? area.right() : shownButtons.front().rect.left();
        const int rowHeight = buttonHeight(option);
        const QRect meta(area.left(), area.bottom() - rowHeight + 1, buttonsLeft - area.left() - kGap, rowHeight);

        // Time and destination, then the "AI" mark.
        QString details = historyFilter::clockLabel(entry.createdAt);
        const QString where = historyFilter::destination(entry);
        if (!where.isEmpty())
            details += QStringLiteral("  ·  ") + where;
        const QString aiMark = QStringLiteral("AI");
        const int markWidth = entry.aiProcessed ? metrics.horizontalAdvance(aiMark) + 10 : 0;
        const int detailsWidth = std::max(0, meta.width() - (markWidth ? markWidth + kGap : 0));
        const QString shownDetails = metrics.elidedText(details, Qt::ElideRight, detailsWidth);
        painter->setPen(muted);
        painter->drawText(QRect(meta.left(), meta.top(), detailsWidth, meta.height()),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shownDetails);
        if (entry.aiProcessed) {
            const int x = meta.left() + metrics.horizontalAdvance(shownDetails) + kGap;
            const QRect mark(x, meta.center().y() - metrics.height() / 2, markWidth, metrics.height());
            const QColor accent = selected ? text : option.palette.color(group, QPalette::Highlight);
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(QPen(accent, 1));
            painter->setBrush(Qt::NoBrush);
            painter->drawRoundedRect(QRectF(mark).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
            painter->drawText(mark, Qt::AlignCenter, aiMark);
            painter->setRenderHint(QPainter::Antialiasing, false);
        }

        if (!showButtons)
            return;
        for (const Button &button : shownButtons) {
            QStyleOptionToolButton tool = buttonOption(option, button.text, button.icon);
            tool.rect = button.rect;
            if (selected)
                tool.palette.setColor(QPalette::ButtonText, text);
            const bool hovered = m_mouse && button.rect.contains(*m_mouse);
            if (hovered)
                tool.state |= QStyle::State_MouseOver | QStyle::State_Raised;
            if (hovered && m_pressed == std::make_pair(entry.id, button.action))
                tool.state |= QStyle::State_Sunken;
            style->drawComplexControl(QStyle::CC_ToolButton, &tool, painter, widget);
        }
    }

    struct Icons
    {
        QIcon copy = themeIcon("edit-copy");
        QIcon paste = themeIcon("edit-paste");
        QIcon play = themeIcon("media-playback-start");
        QIcon pause = themeIcon("media-playback-pause");
        QIcon remove = themeIcon("edit-delete");
    };

    QListView *m_view;
    HistoryListModel *m_model;
    ServiceContainer &m_services;
    Icons m_icons;
    std::optional<QPoint> m_mouse;
    std::optional<std::pair<QUuid, Action>> m_pressed;
    // Wrapped lines per entry, with the width they were wrapped at.
    mutable QHash<QUuid, std::pair<int, QStringList>> m_lines;
};

namespace {

// Feeds the mouse position over the list to the delegate, for the buttons'
// hover look.
class HoverTracker final : public QObject
{
public:
    HoverTracker(HistoryEntryDelegate *delegate, QObject *parent) : QObject(parent), m_delegate(delegate) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseMove)
            m_delegate->setMousePosition(static_cast<QMouseEvent *>(event)->position().toPoint());
        else if (event->type() == QEvent::Leave)
            m_delegate->setMousePosition(std::nullopt);
        return QObject::eventFilter(watched, event);
    }

private:
    HistoryEntryDelegate *m_delegate;
};

} // namespace

HistoryPage::HistoryPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column =
        scaffold(QStringLiteral("History"),
                 QStringLiteral("Your recent dictations, newest first. Copy one, paste it again, or listen to its "
                                "recording."),
                 false);

    auto *tools = new QHBoxLayout;
    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(QStringLiteral("Search text, app or window"));
    m_search->setAccessibleName(QStringLiteral("Search history"));
    m_search->setClearButtonEnabled(true);
    m_clear = new QPushButton(QStringLiteral("Clear history…"), this);
    m_clear->setAccessibleName(QStringLiteral("Clear history"));
    tools->addWidget(m_search, 1);
    tools->addWidget(m_clear);
    column->addLayout(tools);

    m_list = new QListView(this);
    m_list->setAccessibleName(QStringLiteral("Dictations"));
    m_list->setObjectName(QStringLiteral("history"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setMouseTracking(true);
    m_list->viewport()->setAttribute(Qt::WA_Hover);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_model = new HistoryListModel(m_list);
    m_list->setModel(m_model);
    m_delegate = new HistoryEntryDelegate(m_list, m_model, services);
    m_list->setItemDelegate(m_delegate);
    m_list->viewport()->installEventFilter(new HoverTracker(m_delegate, m_list));
    column->addWidget(m_list, 1);

    m_empty = style::note(QString(), this);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setAccessibleName(QStringLiteral("History status"));
    column->addWidget(m_empty, 1);

    m_status = style::note(QString(), this);
    m_status->setAccessibleName(QStringLiteral("History message"));
    column->addWidget(m_status);

    // Keyboard equivalents of the entry buttons, on the list.
    const auto addKey = [this](const QKeySequence &keys, Action action) {
        auto *shortcut = new QAction(m_list);
        shortcut->setShortcut(keys);
        shortcut->setShortcutContext(Qt::WidgetShortcut);
        connect(shortcut, &QAction::triggered, this, [this, action] { triggerOnCurrent(action); });
        m_list->addAction(shortcut);
    };
    addKey(QKeySequence::Copy, Action::copy);
    addKey(QKeySequence(Qt::Key_Return), Action::paste);
    addKey(QKeySequence(Qt::Key_Enter), Action::paste);
    addKey(QKeySequence(Qt::Key_Space), Action::play);
    addKey(QKeySequence::Delete, Action::remove);

    m_delegate->onAction = [this](const QUuid &id, Action action) { trigger(id, action); };
    connect(m_list, &QListView::customContextMenuRequested, this, &HistoryPage::showContextMenu);
    connect(m_search, &QLineEdit::textChanged, this, &HistoryPage::reload);
    connect(m_clear, &QPushButton::clicked, this, &HistoryPage::confirmClear);
    ClipboardHistory &history = services.history();
    connect(&history, &ClipboardHistory::entriesChanged, this, &HistoryPage::reload);
    connect(&history, &ClipboardHistory::audioEntriesChanged, this, &HistoryPage::reload);
    connect(&services.playback(), &AudioPlaybackController::stateChanged, m_list->viewport(),
            qOverload<>(&QWidget::update));
    connect(&services.auth(), &AuthService::userChanged, this, &HistoryPage::reload);
    reload();
}

HistoryPage::~HistoryPage() = default;

void HistoryPage::pageShown()
{
    // "Today" may have become "Yesterday" while the page was away.
    reload();
}

void HistoryPage::pageHidden()
{
    m_services.playback().stop();
}

void HistoryPage::reload()
{
    std::optional<QUuid> current;
    if (const ClipboardEntry *entry = m_model->entryAt(m_list->currentIndex().row()))
        current = entry->id;
    const ClipboardHistory &history = m_services.history();
    m_delegate->forgetLayouts();
    m_model->reset(history.entries(), history.audioEntryIDs(), m_search->text(), QDateTime::currentDateTime());
    if (current) {
        if (const int row = m_model->rowOf(*current); row >= 0)
            m_list->setCurrentIndex(m_model->index(row));
    }
    refreshState();
}

void HistoryPage::refreshState()
{
    const bool signedIn = m_services.auth().isSignedIn();
    const bool rows = m_model->rowCount({}) > 0;
    m_search->setEnabled(signedIn && m_model->hasEntries());
    m_clear->setEnabled(signedIn && m_model->hasEntries());
    m_list->setVisible(rows);
    m_empty->setVisible(!rows);
    if (!signedIn)
        m_empty->setText(QStringLiteral("Sign in to see your dictations. Each account keeps its own history."));
    else if (!m_model->hasEntries())
        m_empty->setText(QStringLiteral("Nothing here yet — your dictations appear here."));
    else
        m_empty->setText(QStringLiteral("No dictations match “%1”.").arg(m_search->text().trimmed()));
}

void HistoryPage::trigger(const QUuid &id, Action action)
{
    ClipboardHistory &history = m_services.history();
    const auto &entries = history.entries();
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto &e) { return e.id == id; });
    if (it == entries.end())
        return;
    switch (action) {
    case Action::copy:
        QGuiApplication::clipboard()->setText(it->text);
        flash(QStringLiteral("Copied to the clipboard."));
        break;
    case Action::paste:
        if (m_services.pastesOnDesktop())
            m_tasks.track(pasteEntry(it->text));
        break;
    case Action::play:
        if (const auto path = history.audioURL(id)) {
            AudioPlaybackController &playback = m_services.playback();
            playback.toggle(id, *path);
            // The controller logs why; the user only needs to know it failed.
            if (playback.activeID() != id)
                flash(QStringLiteral("This recording couldn't be played."));
        } else {
            flash(QStringLiteral("This recording is no longer on this computer."));
        }
        break;
    case Action::remove:
        m_tasks.track(history.remove(id));
        break;
    }
}

void HistoryPage::triggerOnCurrent(Action action)
{
    if (const ClipboardEntry *entry = m_model->entryAt(m_list->currentIndex().row())) {
        const QUuid id = entry->id;
        if (action == Action::play && !m_model->hasAudio(id))
            return;
        trigger(id, action);
    }
}

void HistoryPage::showContextMenu(const QPoint &pos)
{
    const QModelIndex index = m_list->indexAt(pos);
    const ClipboardEntry *entry = m_model->entryAt(index.row());
    if (!entry)
        return;
    m_list->setCurrentIndex(index);
    const QUuid id = entry->id;
    const bool playing = m_services.playback().activeID() == id && m_services.playback().isPlaying();
    QMenu menu(this);
    menu.setAccessibleName(QStringLiteral("Dictation actions"));
    const auto add = [&](const QString &text, Action action) {
        connect(menu.addAction(text), &QAction::triggered, this, [this, id, action] { trigger(id, action); });
    };
    add(QStringLiteral("Copy"), Action::copy);
    if (m_services.pastesOnDesktop())
        add(QStringLiteral("Paste"), Action::paste);
    if (m_model->hasAudio(id))
        add(playing ? QStringLiteral("Pause recording") : QStringLiteral("Play recording"), Action::play);
    menu.addSeparator();
    add(QStringLiteral("Delete"), Action::remove);
    menu.exec(m_list->viewport()->mapToGlobal(pos));
}

void HistoryPage::confirmClear()
{
    const int count = m_services.history().entryCount();
    if (count == 0)
        return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Clear history?"),
                    count == 1 ? QStringLiteral("This deletes your dictation and its recording from this computer.")
                               : QStringLiteral("This deletes all %1 dictations and their recordings from this "
                                                "computer.")
                                     .arg(count),
                    QMessageBox::NoButton, this);
    box.setInformativeText(QStringLiteral("This can't be undone."));
    QPushButton *clear = box.addButton(QStringLiteral("Clear history"), QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QMessageBox::Cancel);
    clear->setAccessibleName(QStringLiteral("Confirm clear history"));
    box.setDefaultButton(cancel);
    QPointer<HistoryPage> self(this);
    box.exec();
    if (!self || box.clickedButton() != clear)
        return;
    m_services.playback().stop();
    m_tasks.track(m_services.history().clear());
}

void HistoryPage::flash(const QString &text)
{
    m_status->setText(text);
    QTimer::singleShot(2500, m_status, [label = m_status, text] {
        if (label->text() == text)
            label->clear();
    });
}

QCoro::Task<> HistoryPage::pasteEntry(QString text)
{
    // The window steps aside so the focus goes back to the application the
    // user was in; the paste then lands there, as a dictation would.
    QPointer<HistoryPage> self(this);
    ServiceContainer &services = m_services;
    if (QWidget *top = window())
        top->showMinimized();
    Scheduler &scheduler = services.scheduler();
    co_await scheduler.sleep(kFocusReturnDelay);
    if (!self)
        co_return;
    Pasting &paste = services.paste();
    co_await paste.paste(std::move(text), std::nullopt, false);
}

} // namespace dravelin::ui
