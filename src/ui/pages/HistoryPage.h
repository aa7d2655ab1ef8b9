#pragma once

#include "core/Tasks.h"
#include "ui/Page.h"

#include <QUuid>

class QLabel;
class QLineEdit;
class QListView;
class QPushButton;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class HistoryListModel;
class HistoryEntryDelegate;

// The signed-in user's recent dictations, newest first under a heading per
// day, with a search box. Each entry can be copied, pasted again into the
// application that had the focus before this window, played back when its
// recording was kept, or deleted; the whole history can be cleared.
class HistoryPage final : public Page
{
    Q_OBJECT
public:
    // What a button of an entry does.
    enum class Action {
        copy,
        paste,
        play,
        remove
    };

    explicit HistoryPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~HistoryPage() override;

    void pageShown() override;
    void pageHidden() override;

    TaskTracker &taskTracker() { return m_tasks; }

private:
    void reload();
    void refreshState();
    void trigger(const QUuid &id, Action action);
    void triggerOnCurrent(Action action);
    void showContextMenu(const QPoint &pos);
    void confirmClear();
    void flash(const QString &text);
    QCoro::Task<> pasteEntry(QString text);

    ServiceContainer &m_services;
    QLineEdit *m_search = nullptr;
    QPushButton *m_clear = nullptr;
    QListView *m_list = nullptr;
    HistoryListModel *m_model = nullptr;
    HistoryEntryDelegate *m_delegate = nullptr;
    QLabel *m_empty = nullptr;
    QLabel *m_status = nullptr;
    TaskTracker m_tasks;
};

} // namespace dravelin::ui
