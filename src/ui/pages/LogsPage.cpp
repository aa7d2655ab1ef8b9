#include "ui/pages/LogsPage.h"

#include "core/Paths.h"
#include "pipeline/ServiceContainer.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <thread>

namespace dravelin::ui {

namespace {

// The red every screen uses for problems (see style::problem).
const QColor kProblemRed(0xc0, 0x39, 0x2b);

enum Column {
    timeColumn,
    levelColumn,
    categoryColumn,
    messageColumn,
    columnCount
};

QString localTime(const logs::Record &record)
{
    return record.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString levelText(logs::Level level)
{
    switch (level) {
    case logs::Level::debug:
        return QStringLiteral("Debug");
    case logs::Level::info:
        return QStringLiteral("Info");
    case logs::Level::error:
        return QStringLiteral("Error");
    }
    return QString();
}

} // namespace

// The shown entries of the log, one row each, oldest first.
class LogTableModel final : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void reset(std::shared_ptr<const std::vector<logs::Record>> records, QList<int> rows)
    {
        beginResetModel();
        m_records = std::move(records);
        m_rows = std::move(rows);
        endResetModel();
    }

    const logs::Record &record(int row) const { return (*m_records)[static_cast<size_t>(m_rows[row])]; }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() || !m_records ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : Column::columnCount;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        switch (section) {
        case timeColumn:
            return QStringLiteral("Time");
        case levelColumn:
            return QStringLiteral("Level");
        case categoryColumn:
            return QStringLiteral("Category");
        case messageColumn:
            return QStringLiteral("Message");
        default:
            return {};
        }
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount())
            return {};
        const logs::Record &entry = record(index.row());
        const bool isError = entry.level == logs::Level::error;
        switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
            case timeColumn:
                return localTime(entry);
            case levelColumn:
                return levelText(entry.level);
            case categoryColumn:
                return entry.category;
            case messageColumn:
                // One line per row; the tooltip has the message as written.
                return entry.message.simplified();
            default:
                return {};
            }
        case Qt::ToolTipRole:
            if (index.column() == timeColumn)
                return entry.time.toLocalTime().toString(Qt::ISODateWithMs);
            if (index.column() == messageColumn)
                return entry.message;
            return {};
        case Qt::ForegroundRole:
            if (isError && (index.column() == levelColumn || index.column() == messageColumn))
                return QBrush(kProblemRed);
            if (entry.level == logs::Level::debug)
                return QGuiApplication::palette().brush(QPalette::PlaceholderText);
            return {};
        case Qt::DecorationRole:
            if (isError && index.column() == levelColumn)
                return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
            return {};
        case Qt::FontRole:
            if (index.column() == messageColumn)
                return QFontDatabase::systemFont(QFontDatabase::FixedFont);
            return {};
        default:
            return {};
        }
    }

private:
    std::shared_ptr<const std::vector<logs::Record>> m_records;
    QList<int> m_rows;
};

LogsPage::LogsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(
        QStringLiteral("Logs"),
        QStringLiteral("What Dravelin has been doing, newest at the bottom. Private text such as your dictations "
                       "is never written to the log."),
        false);

    auto *filters = new QHBoxLayout;
    m_level = new QComboBox(this);
    m_level->addItem(QStringLiteral("All levels"), static_cast<int>(LogFilter::Levels::all));
    m_level->addItem(QStringLiteral("Info and errors"), static_cast<int>(LogFilter::Levels::infoAndErrors));
    m_level->addItem(QStringLiteral("Errors only"), static_cast<int>(LogFilter::Levels::errorsOnly));
    m_level->setAccessibleName(QStringLiteral("Level"));
    filters->addWidget(m_level);

    m_category = new QComboBox(this);
    m_category->addItem(QStringLiteral("All categories"), QString());
    m_category->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_category->setAccessibleName(QStringLiteral("Category"));
    filters->addWidget(m_category);

    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(QStringLiteral("Search"));
    m_search->setClearButtonEnabled(true);
    m_search->setAccessibleName(QStringLiteral("Search logs"));
    filters->addWidget(m_search, 1);

    m_refresh = new QPushButton(QStringLiteral("Refresh"), this);
    m_refresh->setAccessibleName(QStringLiteral("Refresh logs"));
    filters->addWidget(m_refresh);
    auto *open = new QPushButton(QStringLiteral("Open log folder"), this);
    open->setAccessibleName(QStringLiteral("Open log folder"));
    filters->addWidget(open);
    column->addLayout(filters);

    m_model = new LogTableModel(this);
    m_table = new QTableView(this);
    m_table->setModel(m_model);
    m_table->setAccessibleName(QStringLiteral("Log entries"));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    QHeaderView *header = m_table->horizontalHeader();
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    const QFontMetrics metrics = fontMetrics();
    const int padding = 24;
    m_table->setColumnWidth(timeColumn, metrics.horizontalAdvance(QStringLiteral("8888-88-88 88:88:88")) + padding);
    m_table->setColumnWidth(levelColumn, metrics.horizontalAdvance(QStringLiteral("Error")) + padding + 24);
    m_table->setColumnWidth(categoryColumn,
                            metrics.horizontalAdvance(QStringLiteral("bluetooth-microphone")) + padding);
    column->addWidget(m_table, 1);

    auto *copy = new QAction(QStringLiteral("Copy"), m_table);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    m_table->addAction(copy);
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(copy, &QAction::triggered, this, &LogsPage::copySelection);

    m_status = style::note(QString(), this);
    column->addWidget(m_status);

    connect(m_level, &QComboBox::currentIndexChanged, this, &LogsPage::applyFilter);
    connect(m_category, &QComboBox::currentIndexChanged, this, &LogsPage::applyFilter);
    connect(m_search, &QLineEdit::textChanged, this, &LogsPage::applyFilter);
    connect(m_refresh, &QPushButton::clicked, this, &LogsPage::reload);
    connect(open, &QPushButton::clicked, this, [] {
        const QString folder = paths::stateDir();
        QDir().mkpath(folder);
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
}

LogsPage::~LogsPage() = default;

void LogsPage::pageShown()
{
    reload();
}

void LogsPage::reload()
{
    const int generation = ++m_generation;
    if (!m_loaded)
        m_status->setText(QStringLiteral("Reading the log…"));
    // The files may be a few megabytes: read them on a thread of their own.
    QPointer<LogsPage> self(this);
    const QString directory = paths::stateDir();
    std::thread([self, directory, generation] {
        auto records = std::make_shared<std::vector<logs::Record>>(logs::readRecentEntries(directory, kMaxEntries));
        QMetaObject::invokeMethod(qApp, [self, records, generation] {
            if (!self || generation != self->m_generation)
                return;
            self->setRecords(std::move(*records));
        });
    }).detach();
}

void LogsPage::setRecords(std::vector<logs::Record> records)
{
    m_records = std::make_shared<const std::vector<logs::Record>>(std::move(records));
    fillCategories();
    applyFilter();
    m_loaded = true;
}

void LogsPage::fillCategories()
{
    const QString chosen = m_category->currentData().toString();
    QStringList names = LogFilter::categories(*m_records);
    // Keep a chosen category that has no entries at the moment.
    if (!chosen.isEmpty() && !names.contains(chosen)) {
        names.append(chosen);
        names.sort(Qt::CaseInsensitive);
    }
    const QSignalBlocker blocker(m_category);
    while (m_category->count() > 1)
        m_category->removeItem(1);
    for (const QString &name : names)
        m_category->addItem(name, name);
    const int index = m_category->findData(chosen);
    m_category->setCurrentIndex(index < 0 ? 0 : index);
}

bool LogsPage::atBottom() const
{
    const QScrollBar *bar = m_table->verticalScrollBar();
    return bar->value() >= bar->maximum() - 2;
}

void LogsPage::applyFilter()
{
    if (!m_records)
        return;
    // Follow the newest entries unless the reader has scrolled up to older ones.
    const bool follow = !m_loaded || atBottom();
    m_filter.levels = static_cast<LogFilter::Levels>(m_level->currentData().toInt());
    m_filter.category = m_category->currentData().toString();
    m_filter.search = m_search->text();
    QList<int> rows = m_filter.matching(*m_records);
    const qsizetype shown = rows.size();
    m_model->reset(m_records, std::move(rows));
    if (follow)
        m_table->scrollToBottom();

    const auto total = static_cast<qsizetype>(m_records->size());
    const QLocale locale;
    if (total == 0)
        m_status->setText(QStringLiteral("No log entries yet."));
    else if (shown == 0)
        m_status->setText(QStringLiteral("No entries match these filters."));
    else if (shown == total)
        m_status->setText(QStringLiteral("%1 entries, the newest at the bottom.").arg(locale.toString(total)));
    else
        m_status->setText(
            QStringLiteral("Showing %1 of %2 entries.").arg(locale.toString(shown), locale.toString(total)));
}

void LogsPage::copySelection()
{
    QModelIndexList rows = m_table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex &index : rows) {
        const logs::Record &entry = m_model->record(index.row());
        lines << localTime(entry) + u'\t' + logs::levelName(entry.level) + u'\t' + entry.category + u'\t' +
                     entry.message;
    }
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join(u'\n'));
}

} // namespace dravelin::ui
