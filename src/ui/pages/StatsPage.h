#pragma once

#include "core/Tasks.h"
#include "ui/Page.h"

#include <QList>

class QChart;
class QChartView;
class QGroupBox;
class QLabel;
class QPushButton;

namespace dravelin {
class ServiceContainer;
struct UsageStats;
} // namespace dravelin

namespace dravelin::ui {

// The statistics screen: headline figures and charts of the usage the
// backend counts (words per day, dictations by hour, top applications, the
// rolling 7/30/90-day windows). Refreshes each time it is shown.
class StatsPage final : public Page
{
    Q_OBJECT
public:
    explicit StatsPage(ServiceContainer &services, QWidget *parent = nullptr);

    void pageShown() override;

protected:
    void changeEvent(QEvent *event) override;

private:
    QCoro::Task<> refresh();
    void startRefresh();
    // Everything drawn from the figures: called when they change.
    void showStats();
    // The loading, empty and unavailable notes and the button.
    void showStatus();
    void fillDaily(const UsageStats &stats);
    void fillHourly(const UsageStats &stats);
    void fillApps(const UsageStats &stats);
    void fillPeriods(const UsageStats &stats);
    void applyPalette();
    QChartView *addChart(QGroupBox *&box, const QString &title, const QString &accessibleName);

    ServiceContainer &m_services;
    TaskTracker m_tasks;
    int m_refreshes = 0;  // our refreshes in flight
    bool m_tried = false; // a refresh of ours has finished

    QPushButton *m_refresh = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_empty = nullptr;
    QLabel *m_monthDictations = nullptr;
    QLabel *m_monthWords = nullptr;
    QLabel *m_allTimeWords = nullptr;
    QLabel *m_pace = nullptr;
    QLabel *m_saved = nullptr;
    QWidget *m_charts = nullptr;
    QGroupBox *m_dailyBox = nullptr;
    QGroupBox *m_hourlyBox = nullptr;
    QGroupBox *m_appsBox = nullptr;
    QGroupBox *m_periodsBox = nullptr;
    QChartView *m_dailyView = nullptr;
    QChartView *m_hourlyView = nullptr;
    QChartView *m_appsView = nullptr;
    // The rolling windows: one column per window, rows of figures.
    QList<QLabel *> m_periodHeaders;
    QList<QList<QLabel *>> m_periodCells;
};

} // namespace dravelin::ui
