#pragma once

#include "account/AdminService.h"
#include "core/Tasks.h"
#include "ui/Page.h"

#include <QDateTime>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// How the admin screen words the dashboard's numbers and dates.
namespace adminText {
// "45 s", "12 min", "3 h 5 min", "3 h".
QString duration(qint64 milliseconds);
// "850 ms", "1.2 s"; "—" when unknown.
QString latency(std::optional<qint64> milliseconds);
QString status(AdminUserStatus status);
// When a user was last seen, as the history words times ("Today 14:03");
// "Never" when not known, the text as received when it is not a timestamp.
QString lastActive(const std::optional<QString> &timestamp, const QDateTime &now);
} // namespace adminText

// The administrators' dashboard: figures for the whole service and the
// users, each of whom can be disabled, enabled again or deleted. Shown only
// to administrators.
class AdminPage final : public Page
{
    Q_OBJECT
public:
    explicit AdminPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~AdminPage() override;

    void pageShown() override;

    TaskTracker &taskTracker() { return m_tasks; }

private:
    QWidget *buildFigures();
    QWidget *buildUsers();
    void refreshAccess();
    void refreshStatus();
    void refreshFigures();
    void refreshUsers();
    void refreshActions();
    void applyFilter();
    std::optional<AdminDashboardData::User> selectedUser() const;
    void confirmToggle();
    void confirmDelete();
    QCoro::Task<> mutate(QString userID, AdminRequest request);

    ServiceContainer &m_services;
    QLabel *m_denied = nullptr;
    QWidget *m_content = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_problem = nullptr;
    QPushButton *m_refresh = nullptr;
    QLabel *m_totalUsers = nullptr;
    QLabel *m_activeUsers = nullptr;
    QLabel *m_newThisWeek = nullptr;
    QLabel *m_recordings = nullptr;
    QLabel *m_totalUsage = nullptr;
    QLabel *m_averageUsage = nullptr;
    QLabel *m_timeToText = nullptr;
    QLabel *m_successRate = nullptr;
    QLineEdit *m_filter = nullptr;
    QTableWidget *m_users = nullptr;
    QPushButton *m_toggle = nullptr;
    QPushButton *m_delete = nullptr;
    QLabel *m_actionStatus = nullptr;
    TaskTracker m_tasks;
};

} // namespace dravelin::ui
