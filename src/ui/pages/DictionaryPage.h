#pragma once

#include "core/Tasks.h"
#include "ui/Page.h"

#include <QUuid>

#include <optional>
#include <set>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// The user's dictionary: words to spell their way, each optionally written
// as something else, starred ones first. Changes go to the account's copy on
// the server; the line at the top says whether the list is in step with it.
class DictionaryPage final : public Page
{
    Q_OBJECT
public:
    explicit DictionaryPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~DictionaryPage() override;

    void pageShown() override;

    TaskTracker &taskTracker() { return m_tasks; }

private:
    void rebuild();
    void applyFilter();
    void refreshState();
    void edit(const QUuid &id);
    QCoro::Task<> addTerm();
    QCoro::Task<> update(QUuid id, QString term, std::optional<QString> replacement);
    QCoro::Task<> toggleFavorite(QUuid id);
    QCoro::Task<> remove(QUuid id);
    void began(const QUuid &id);
    void ended(const QUuid &id);
    void setRowEnabled(const QUuid &id, bool enabled);

    ServiceContainer &m_services;
    QLabel *m_sync = nullptr;
    QLabel *m_syncProblem = nullptr;
    QPushButton *m_retry = nullptr;
    QLineEdit *m_term = nullptr;
    QLineEdit *m_replacement = nullptr;
    QPushButton *m_add = nullptr;
    QLineEdit *m_filter = nullptr;
    QListWidget *m_list = nullptr;
    QLabel *m_empty = nullptr;
    // Changes sent and not answered yet; the terms they are for.
    int m_pending = 0;
    std::set<QUuid> m_busyTerms;
    TaskTracker m_tasks;
};

} // namespace dravelin::ui
