#pragma once

#include "core/LogHandler.h"
#include "ui/LogFilter.h"
#include "ui/Page.h"

#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class LogTableModel;

// The logs screen: the newest entries of Dravelin's own log files (private
// values already redacted there), filtered by level, category and words,
// newest at the bottom. Reads the files off the main thread.
class LogsPage final : public Page
{
    Q_OBJECT
public:
    static constexpr int kMaxEntries = 2000;

    explicit LogsPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~LogsPage() override;

    void pageShown() override;

private:
    void reload();
    void setRecords(std::vector<logs::Record> records);
    void applyFilter();
    void fillCategories();
    void copySelection();
    bool atBottom() const;

    ServiceContainer &m_services;
    std::shared_ptr<const std::vector<logs::Record>> m_records;
    LogFilter m_filter;
    int m_generation = 0; // the newest read asked for; older replies are dropped
    bool m_loaded = false;

    QComboBox *m_level = nullptr;
    QComboBox *m_category = nullptr;
    QLineEdit *m_search = nullptr;
    QPushButton *m_refresh = nullptr;
    QLabel *m_status = nullptr;
    QTableView *m_table = nullptr;
    LogTableModel *m_model = nullptr;
};

} // namespace dravelin::ui
