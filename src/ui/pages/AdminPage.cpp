#include "ui/pages/AdminPage.h"

#include "account/AuthService.h"
#include "pipeline/ServiceContainer.h"
#include "text/Vocabulary.h"
#include "ui/HistoryFilter.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <limits>

namespace dravelin::ui {

namespace adminText {

QString duration(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(0, milliseconds) / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    if (minutes % 60 == 0)
        return QStringLiteral("%1 h").arg(minutes / 60);
    return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

QString latency(std::optional<qint64> milliseconds)
{
    if (!milliseconds)
        return QStringLiteral("—");
    if (*milliseconds < 1000)
        return QStringLiteral("%1 ms").arg(*milliseconds);
    return QStringLiteral("%1 s").arg(static_cast<double>(*milliseconds) / 1000.0, 0, 'f', 1);
}

QString status(AdminUserStatus status)
{
    switch (status) {
    case AdminUserStatus::active:
        return QStringLiteral("Active");
    case AdminUserStatus::inactive:
        return QStringLiteral("Inactive");
    case AdminUserStatus::disabled:
        return QStringLiteral("Disabled");
    }
    return {};
}

QString lastActive(const std::optional<QString> &timestamp, const QDateTime &now)
{
    if (!timestamp || timestamp->trimmed().isEmpty())
        return QStringLiteral("Never");
    if (const auto parsed = PostgrestTimestamp::parse(*timestamp))
        return historyFilter::timeLabel(*parsed, now);
    return *timestamp;
}

} // namespace adminText

namespace {

enum Column {
    nameColumn,
    emailColumn,
    statusColumn,
    lastActiveColumn,
    usageColumn,
    recordingsColumn,
    adminColumn,
    columnCount
};

constexpr int kSortRole = Qt::UserRole + 1;
constexpr int kUserIDRole = Qt::UserRole + 2;

// A cell that sorts by a hidden key (numbers, times) rather than by its text.
class SortableItem final : public QTableWidgetItem
{
public:
    SortableItem(const QString &text, const QVariant &key) : QTableWidgetItem(text) { setData(kSortRole, key); }

    bool operator<(const QTableWidgetItem &other) const override
    {
        const QVariant mine = data(kSortRole);
        const QVariant theirs = other.data(kSortRole);
        if (mine.isValid() && theirs.isValid())
            return QVariant::compare(mine, theirs) == QPartialOrdering::Less;
        return QTableWidgetItem::operator<(other);
    }
};

qint64 timestampKey(const std::optional<QString> &timestamp)
{
    if (timestamp) {
        if (const auto parsed = PostgrestTimestamp::parse(*timestamp))
            return parsed->toMSecsSinceEpoch();
    }
    return std::numeric_limits<qint64>::min();
}

} // namespace

AdminPage::AdminPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Admin"),
                                   QStringLiteral("Everyone using this Dravelin service, and how much they dictate."));
    m_denied = style::note(QStringLiteral("Only administrators can see this page."), this);
    m_denied->setAccessibleName(QStringLiteral("Admin access"));
    column->addWidget(m_denied);

    m_content = new QWidget(this);
    auto *content = new QVBoxLayout(m_content);
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(14);
    auto *statusRow = new QHBoxLayout;
    m_status = style::note(QString(), m_content);
    m_status->setAccessibleName(QStringLiteral("Dashboard status"));
    m_problem = style::problem(m_content);
    m_problem->setAccessibleName(QStringLiteral("Dashboard problem"));
    m_refresh = new QPushButton(QStringLiteral("Refresh"), m_content);
    m_refresh->setAccessibleName(QStringLiteral("Refresh dashboard"));
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_problem, 1);
    statusRow->addWidget(m_refresh);
    content->addLayout(statusRow);
    content->addWidget(buildFigures());
    content->addWidget(buildUsers(), 1);
    column->addWidget(m_content, 1);

    AdminService &admin = services.admin();
    connect(m_refresh, &QPushButton::clicked, this, [this] { m_tasks.track(m_services.admin().refresh()); });
    connect(&admin, &AdminService::dataChanged, this, [this] {
        refreshStatus();
        refreshFigures();
        refreshUsers();
    });
    connect(&admin, &AdminService::isLoadingChanged, this, &AdminPage::refreshStatus);
    connect(&admin, &AdminService::errorMessageChanged, this, &AdminPage::refreshStatus);
    connect(&admin, &AdminService::actionUserIDChanged, this, &AdminPage::refreshActions);
    connect(&services.auth(), &AuthService::userChanged, this, &AdminPage::refreshAccess);
    refreshAccess();
    refreshStatus();
    refreshFigures();
    refreshUsers();
}

AdminPage::~AdminPage() = default;

QWidget *AdminPage::buildFigures()
{
    auto *box = new QWidget(m_content);
    auto *grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(10);
    const auto add = [&](QLabel *&value, const QString &caption, int row, int column) {
        QWidget *figure = style::figure(value, caption, box);
        value->setAccessibleName(caption);
        grid->addWidget(figure, row, column);
    };
    add(m_totalUsers, QStringLiteral("Users"), 0, 0);
    add(m_activeUsers, QStringLiteral("Active users"), 0, 1);
    add(m_newThisWeek, QStringLiteral("New this week"), 0, 2);
    add(m_recordings, QStringLiteral("Recordings"), 0, 3);
    add(m_totalUsage, QStringLiteral("Dictated in all"), 1, 0);
    add(m_averageUsage, QStringLiteral("Dictated per user"), 1, 1);
    add(m_timeToText, QStringLiteral("Average time to text"), 1, 2);
    add(m_successRate, QStringLiteral("Success rate"), 1, 3);
    return box;
}

QWidget *AdminPage::buildUsers()
{
    auto *section = style::section(QStringLiteral("Users"), m_content);
    auto *column = new QVBoxLayout(section);
    m_filter = new QLineEdit(section);
    m_filter->setPlaceholderText(QStringLiteral("Find by name or e-mail"));
    m_filter->setAccessibleName(QStringLiteral("Find user"));
    m_filter->setClearButtonEnabled(true);
    column->addWidget(m_filter);

    m_users = new QTableWidget(0, columnCount, section);
    m_users->setAccessibleName(QStringLiteral("Users"));
    m_users->setObjectName(QStringLiteral("adminUsers"));
    m_users->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("E-mail"), QStringLiteral("Status"),
                                        QStringLiteral("Last active"), QStringLiteral("Dictated"),
                                        QStringLiteral("Recordings"), QStringLiteral("Admin")});
    m_users->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_users->setSelectionMode(QAbstractItemView::SingleSelection);
    m_users->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_users->setAlternatingRowColors(true);
    m_users->setSortingEnabled(true);
    m_users->verticalHeader()->setVisible(false);
    m_users->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_users->horizontalHeader()->setSectionResizeMode(emailColumn, QHeaderView::Stretch);
    m_users->setMinimumHeight(260);
    column->addWidget(m_users, 1);

    auto *actions = new QHBoxLayout;
    m_toggle = new QPushButton(QStringLiteral("Disable account…"), section);
    m_toggle->setAccessibleName(QStringLiteral("Disable or enable account"));
    m_delete = new QPushButton(QStringLiteral("Delete account…"), section);
    m_delete->setAccessibleName(QStringLiteral("Delete account"));
    m_actionStatus = style::note(QString(), section);
    m_actionStatus->setAccessibleName(QStringLiteral("Account action status"));
    actions->addWidget(m_toggle);
    actions->addWidget(m_delete);
    actions->addWidget(m_actionStatus, 1);
    column->addLayout(actions);

    connect(m_filter, &QLineEdit::textChanged, this, &AdminPage::applyFilter);
    connect(m_users, &QTableWidget::itemSelectionChanged, this, &AdminPage::refreshActions);
    connect(m_toggle, &QPushButton::clicked, this, &AdminPage::confirmToggle);
    connect(m_delete, &QPushButton::clicked, this, &AdminPage::confirmDelete);
    return section;
}

void AdminPage::pageShown()
{
    refreshAccess();
    if (m_services.auth().isAdmin() && !m_services.admin().isLoading())
        m_tasks.track(m_services.admin().refresh());
}

void AdminPage::refreshAccess()
{
    const bool admin = m_services.auth().isAdmin();
    m_denied->setVisible(!admin);
    m_content->setVisible(admin);
}

void AdminPage::refreshStatus()
{
    const AdminService &admin = m_services.admin();
    const auto &error = admin.errorMessage();
    m_problem->setText(error.value_or(QString()));
    m_problem->setVisible(error.has_value());
    m_status->setVisible(!error);
    m_refresh->setEnabled(!admin.isLoading());
    if (admin.isLoading())
        m_status->setText(QStringLiteral("Loading…"));
    else if (const auto &data = admin.data()) {
        const auto generated = PostgrestTimestamp::parse(data->generatedAt);
        m_status->setText(generated ? QStringLiteral("Figures from %1")
                                          .arg(historyFilter::timeLabel(*generated, QDateTime::currentDateTime()))
                                    : QString());
    } else {
        m_status->setText(QString());
    }
}

void AdminPage::refreshFigures()
{
    const auto &data = m_services.admin().data();
    const auto number = [](qint64 value) { return QLocale(QLocale::English).toString(value); };
    if (!data) {
        for (QLabel *label : {m_totalUsers, m_activeUsers, m_newThisWeek, m_recordings, m_totalUsage, m_averageUsage,
                              m_timeToText, m_successRate})
            label->setText(QStringLiteral("—"));
        return;
    }
    const AdminDashboardData::Metrics &metrics = data->metrics;
    m_totalUsers->setText(number(metrics.totalUsers));
    m_activeUsers->setText(number(metrics.activeUsers));
    m_newThisWeek->setText(number(metrics.newThisWeek));
    m_recordings->setText(number(metrics.totalRecordings));
    m_totalUsage->setText(adminText::duration(metrics.totalUsageMs));
    m_averageUsage->setText(adminText::duration(metrics.averageUsageMs));
    m_timeToText->setText(adminText::latency(metrics.averageTimeToTextMs));
    const auto rate = data->transcriptionQuality ? data->transcriptionQuality->successRate : std::nullopt;
    m_successRate->setText(rate ? QStringLiteral("%1 %").arg(*rate) : QStringLiteral("—"));
}

void AdminPage::refreshUsers()
{
    const auto &data = m_services.admin().data();
    QString selected;
    if (const auto user = selectedUser())
        selected = user->id;
    const QDateTime now = QDateTime::currentDateTime();
    m_users->setSortingEnabled(false);
    m_users->clearContents();
    const QList<AdminDashboardData::User> users = data ? data->users : QList<AdminDashboardData::User>();
    m_users->setRowCount(static_cast<int>(users.size()));
    for (int row = 0; row < users.size(); ++row) {
        const AdminDashboardData::User &user = users[row];
        auto *name = new QTableWidgetItem(user.name.isEmpty() ? QStringLiteral("—") : user.name);
        name->setData(kUserIDRole, user.id);
        m_users->setItem(row, nameColumn, name);
        m_users->setItem(row, emailColumn, new QTableWidgetItem(user.email));
        m_users->setItem(row, statusColumn,
                         new SortableItem(adminText::status(user.status), static_cast<int>(user.status)));
        m_users->setItem(
            row, lastActiveColumn,
            new SortableItem(adminText::lastActive(user.lastActiveAt, now), timestampKey(user.lastActiveAt)));
        m_users->setItem(row, usageColumn, new SortableItem(adminText::duration(user.totalUsageMs), user.totalUsageMs));
        auto *recordings = new SortableItem(QLocale(QLocale::English).toString(user.recordings), user.recordings);
        recordings->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_users->setItem(row, recordingsColumn, recordings);
        m_users->setItem(row, adminColumn,
                         new SortableItem(user.isAdmin ? QStringLiteral("Admin") : QString(), user.isAdmin ? 1 : 0));
    }
    m_users->setSortingEnabled(true);
    for (int row = 0; row < m_users->rowCount(); ++row) {
        if (!selected.isEmpty() && m_users->item(row, nameColumn)->data(kUserIDRole).toString() == selected)
            m_users->selectRow(row);
    }
    applyFilter();
    refreshActions();
}

void AdminPage::applyFilter()
{
    const QString filter = m_filter->text().trimmed();
    for (int row = 0; row < m_users->rowCount(); ++row) {
        const bool match = filter.isEmpty() ||
                           m_users->item(row, nameColumn)->text().contains(filter, Qt::CaseInsensitive) ||
                           m_users->item(row, emailColumn)->text().contains(filter, Qt::CaseInsensitive);
        m_users->setRowHidden(row, !match);
    }
}

std::optional<AdminDashboardData::User> AdminPage::selectedUser() const
{
    const auto rows = m_users->selectionModel()->selectedRows(nameColumn);
    const auto &data = m_services.admin().data();
    if (rows.isEmpty() || !data)
        return std::nullopt;
    const QString id = rows.first().data(kUserIDRole).toString();
    for (const AdminDashboardData::User &user : data->users) {
        if (user.id == id)
            return user;
    }
    return std::nullopt;
}

void AdminPage::refreshActions()
{
    const AdminService &admin = m_services.admin();
    const auto user = selectedUser();
    const auto &me = m_services.auth().user();
    const bool self = user && me && user->id == me->id;
    const bool busy = admin.actionUserID().has_value();
    const bool disabled = user && user->status == AdminUserStatus::disabled;
    m_toggle->setText(disabled ? QStringLiteral("Enable account…") : QStringLiteral("Disable account…"));
    m_toggle->setEnabled(user && !self && !busy);
    m_delete->setEnabled(user && !self && !busy);
    if (busy) {
        m_actionStatus->setText(QStringLiteral("Working…"));
    } else if (self) {
        m_actionStatus->setText(QStringLiteral("This is your own account; another administrator can change it."));
    } else {
        m_actionStatus->clear();
    }
}

void AdminPage::confirmToggle()
{
    const auto user = selectedUser();
    if (!user)
        return;
    const bool enable = user->status == AdminUserStatus::disabled;
    const QString who = user->name.isEmpty() ? user->email : QStringLiteral("%1 (%2)").arg(user->name, user->email);
    QMessageBox box(QMessageBox::Question,
                    enable ? QStringLiteral("Enable this account?") : QStringLiteral("Disable this account?"),
                    enable ? QStringLiteral("%1 will be able to sign in and dictate again.").arg(who)
                           : QStringLiteral("%1 will no longer be able to sign in or dictate until the account is "
                                            "enabled again.")
                                 .arg(who),
                    QMessageBox::NoButton, this);
    QPushButton *confirm = box.addButton(enable ? QStringLiteral("Enable account") : QStringLiteral("Disable account"),
                                         enable ? QMessageBox::AcceptRole : QMessageBox::DestructiveRole);
    confirm->setAccessibleName(confirm->text());
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    QPointer<AdminPage> self(this);
    box.exec();
    if (!self || box.clickedButton() != confirm)
        return;
    m_tasks.track(mutate(user->id, AdminRequest::setUserEnabled(user->id, enable)));
}

void AdminPage::confirmDelete()
{
    const auto user = selectedUser();
    if (!user)
        return;
    const QString who = user->name.isEmpty() ? user->email : QStringLiteral("%1 (%2)").arg(user->name, user->email);
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Permanently delete this account?"),
                    QStringLiteral("%1 and everything the service keeps for this account are deleted.").arg(who),
                    QMessageBox::NoButton, this);
    box.setInformativeText(QStringLiteral("This can't be undone."));
    QPushButton *confirm = box.addButton(QStringLiteral("Delete account"), QMessageBox::DestructiveRole);
    confirm->setAccessibleName(QStringLiteral("Confirm delete account"));
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    QPointer<AdminPage> self(this);
    box.exec();
    if (!self || box.clickedButton() != confirm)
        return;
    m_tasks.track(mutate(user->id, AdminRequest::deleteUser(user->id)));
}

QCoro::Task<> AdminPage::mutate(QString userID, AdminRequest request)
{
    // Failures are published by the service and shown by refreshStatus().
    AdminService &admin = m_services.admin();
    co_await admin.mutate(std::move(userID), std::move(request));
}

} // namespace dravelin::ui
