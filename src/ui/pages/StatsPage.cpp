#include "ui/pages/StatsPage.h"

#include "core/TimeFormatting.h"
#include "output/UsageService.h"
#include "pipeline/ServiceContainer.h"
#include "ui/StatsShaping.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QCursor>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QLegend>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace dravelin::ui {

namespace {

constexpr int kTopApps = 6;
constexpr int kMaxDayLabels = 8;
constexpr int kMaxTicks = 5;
constexpr int kHourLabelStep = 3;
constexpr qsizetype kAppLabelLength = 32;

const QStringList kPeriodRows = {
    QStringLiteral("Dictations"),
    QStringLiteral("Words"),
    QStringLiteral("Speaking time"),
    QStringLiteral("Words per day"),
};

QString number(qint64 value)
{
    return QLocale().toString(value);
}

QString plural(qint64 count, const QString &one, const QString &many)
{
    return number(count) + u' ' + (count == 1 ? one : many);
}

void clearChart(QChart *chart)
{
    chart->removeAllSeries();
    const QList<QAbstractAxis *> axes = chart->axes();
    for (QAbstractAxis *axis : axes) {
        chart->removeAxis(axis);
        delete axis;
    }
}

// A value axis from 0 in round steps, whole numbers only. It ends on the
// step above `max`, or with `headroom` (a fraction of `max`) left above it.
QValueAxis *countAxis(qint64 max, double headroom = 0)
{
    const qint64 step = stats::axisStep(max, kMaxTicks);
    const double top = headroom > 0 && max > 0
                           ? static_cast<double>(max) * (1 + headroom)
                           : static_cast<double>(std::max<qint64>(step, (max + step - 1) / step * step));
    auto *axis = new QValueAxis;
    axis->setRange(0, top);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    axis->setTickInterval(static_cast<double>(step));
    axis->setLabelFormat(QStringLiteral("%.0f"));
    axis->setMinorTickCount(0);
    return axis;
}

void showTip(const QString &text)
{
    QToolTip::showText(QCursor::pos(), text);
}

// Vertical bars at 0…n-1 on a value axis, so only some of them need a label
// (`labels`: position and text). Returns the bars for their hover tips.
QBarSet *columnChart(QChart *chart, const QString &name, const QList<qint64> &values,
                     const QList<std::pair<int, QString>> &labels)
{
    auto *set = new QBarSet(name);
    qint64 max = 0;
    for (const qint64 value : values) {
        set->append(static_cast<qreal>(value));
        max = std::max(max, value);
    }
    auto *bars = new QBarSeries;
    bars->setBarWidth(0.8);
    bars->append(set);
    chart->addSeries(bars);

    auto *x = new QCategoryAxis;
    x->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    x->setRange(-0.5, static_cast<double>(values.size()) - 0.5);
    x->setStartValue(-0.5);
    for (const auto &[position, text] : labels)
        x->append(text, position);
    x->setGridLineVisible(false);
    chart->addAxis(x, Qt::AlignBottom);
    bars->attachAxis(x);
    QValueAxis *y = countAxis(max);
    chart->addAxis(y, Qt::AlignLeft);
    bars->attachAxis(y);
    return set;
}

} // namespace

StatsPage::StatsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Statistics"),
                                   QStringLiteral("How much you dictate, when, and where — counted across all your "
                                                  "devices."));

    auto *bar = new QHBoxLayout;
    m_status = style::note(QString(), this);
    bar->addWidget(m_status);
    bar->addStretch(1);
    m_refresh = new QPushButton(QStringLiteral("Refresh"), this);
    m_refresh->setAccessibleName(QStringLiteral("Refresh statistics"));
    connect(m_refresh, &QPushButton::clicked, this, &StatsPage::startRefresh);
    bar->addWidget(m_refresh);
    column->addLayout(bar);

    auto *figures = new QHBoxLayout;
    figures->setSpacing(12);
    figures->addWidget(style::figure(m_monthDictations, QStringLiteral("Dictations this month"), this), 1);
    figures->addWidget(style::figure(m_monthWords, QStringLiteral("Words this month"), this), 1);
    figures->addWidget(style::figure(m_allTimeWords, QStringLiteral("Words all time"), this), 1);
    figures->addWidget(style::figure(m_pace, QStringLiteral("Speaking pace, words per minute"), this), 1);
    QWidget *saved = style::figure(m_saved, QStringLiteral("Time saved this month"), this);
    saved->setToolTip(QStringLiteral("Against typing the same words at %1 words per minute.")
                          .arg(UsageFigures::kTypingWordsPerMinute));
    figures->addWidget(saved, 1);
    column->addLayout(figures);

    m_empty = style::note(QString(), this);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setMinimumHeight(120);
    column->addWidget(m_empty);

    m_charts = new QWidget(this);
    auto *charts = new QVBoxLayout(m_charts);
    charts->setContentsMargins(0, 0, 0, 0);
    charts->setSpacing(14);
    column->addWidget(m_charts);

    m_dailyView = addChart(m_dailyBox, QStringLiteral("Words per day"), QStringLiteral("Words per day chart"));
    m_hourlyView = addChart(m_hourlyBox, QStringLiteral("Dictations by hour of day"),
                            QStringLiteral("Dictations by hour of day chart"));
    m_appsView =
        addChart(m_appsBox, QStringLiteral("Top applications by words"), QStringLiteral("Top applications chart"));
    m_appsView->setMinimumHeight(260);

    m_periodsBox = style::section(QStringLiteral("Last 7, 30 and 90 days"), m_charts);
    auto *grid = new QGridLayout(m_periodsBox);
    grid->setHorizontalSpacing(24);
    for (int row = 0; row < kPeriodRows.size(); ++row) {
        auto *caption = style::note(kPeriodRows[row], m_periodsBox);
        grid->addWidget(caption, row + 1, 0);
        m_periodCells.append(QList<QLabel *>());
    }
    for (int col = 0; col < 3; ++col) {
        QLabel *header = new QLabel(m_periodsBox);
        QFont bold = header->font();
        bold.setBold(true);
        header->setFont(bold);
        header->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(header, 0, col + 1);
        m_periodHeaders.append(header);
        for (int row = 0; row < kPeriodRows.size(); ++row) {
            auto *cell = new QLabel(m_periodsBox);
            cell->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            cell->setTextInteractionFlags(Qt::TextSelectableByMouse);
            grid->addWidget(cell, row + 1, col + 1);
            m_periodCells[row].append(cell);
        }
    }
    grid->setColumnStretch(0, 1);
    for (int col = 1; col <= 3; ++col)
        grid->setColumnStretch(col, 1);
    charts->addWidget(m_periodsBox);
    column->addStretch(1);

    UsageService &usage = m_services.usage();
    connect(&usage, &UsageService::statsChanged, this, &StatsPage::showStats);
    connect(&usage, &UsageService::isLoadingChanged, this, &StatsPage::showStatus);
    showStats();
}

QChartView *StatsPage::addChart(QGroupBox *&box, const QString &title, const QString &accessibleName)
{
    box = style::section(title, m_charts);
    auto *layout = new QVBoxLayout(box);
    auto *chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setDropShadowEnabled(false);
    chart->legend()->hide();
    chart->setBackgroundRoundness(6);
    // Room on the right for the last date, centred under the last bar.
    chart->setMargins(QMargins(4, 4, 16, 4));
    auto *view = new QChartView(chart, box);
    view->setRenderHint(QPainter::Antialiasing);
    view->setFrameShape(QFrame::NoFrame);
    view->setMinimumHeight(220);
    view->setAccessibleName(accessibleName);
    layout->addWidget(view);
    m_charts->layout()->addWidget(box);
    return view;
}

void StatsPage::pageShown()
{
    startRefresh();
}

void StatsPage::startRefresh()
{
    if (m_refreshes > 0)
        return;
    m_tasks.track(refresh());
}

QCoro::Task<> StatsPage::refresh()
{
    QPointer<StatsPage> self(this);
    UsageService &usage = m_services.usage();
    ++m_refreshes;
    showStatus();
    co_await usage.refresh();
    if (!self)
        co_return;
    --m_refreshes;
    m_tried = true;
    showStatus();
}

void StatsPage::changeEvent(QEvent *event)
{
    Page::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
}

void StatsPage::showStats()
{
    const std::optional<UsageStats> &stats = m_services.usage().stats();
    m_monthDictations->setText(stats ? number(stats->month.transcriptions) : UsageFigures::kNone);
    m_monthWords->setText(stats ? number(stats->month.words) : UsageFigures::kNone);
    m_allTimeWords->setText(UsageFigures::allTimeWords(stats));
    m_pace->setText(UsageFigures::speakingPaceText(stats));
    const auto saved = stats ? UsageFigures::timeSavedSeconds(stats->month) : std::nullopt;
    m_saved->setText(saved ? TimeFormatting::timeSaved(*saved) : UsageFigures::kNone);

    if (stats && stats::hasDictations(*stats)) {
        fillDaily(*stats);
        fillHourly(*stats);
        fillApps(*stats);
        fillPeriods(*stats);
        applyPalette();
    }
    showStatus();
}

void StatsPage::showStatus()
{
    const std::optional<UsageStats> &stats = m_services.usage().stats();
    const bool loading = m_refreshes > 0 || m_services.usage().isLoading();
    const bool hasData = stats && stats::hasDictations(*stats);

    m_refresh->setEnabled(!loading);
    m_status->setText(loading && stats ? QStringLiteral("Refreshing…") : QString());
    m_status->setVisible(!m_status->text().isEmpty());
    m_charts->setVisible(hasData);

    QString empty;
    if (stats && !hasData)
        empty = QStringLiteral("No dictations yet — your statistics appear here after the first one.");
    else if (!stats && loading)
        empty = QStringLiteral("Loading your statistics…");
    else if (!stats && m_tried)
        empty = QStringLiteral("Your statistics could not be loaded. Make sure you are signed in, then refresh.");
    m_empty->setText(empty);
    m_empty->setVisible(!empty.isEmpty());
}

void StatsPage::fillDaily(const UsageStats &stats)
{
    QChart *chart = m_dailyView->chart();
    clearChart(chart);
    const int days = stats::coveredDays(stats);
    m_dailyBox->setVisible(days > 0);
    if (days <= 0)
        return;
    m_dailyBox->setTitle(QStringLiteral("Words per day, last %1 days").arg(days));
    const QList<stats::DayFigures> series = stats::dailySeries(stats, QDate::currentDate(), days);

    QList<qint64> words;
    for (const stats::DayFigures &day : series)
        words << day.words;
    QList<std::pair<int, QString>> labels;
    for (const int i : stats::labelledIndexes(days, kMaxDayLabels))
        labels.append({i, stats::shortDayLabel(series[i].date)});
    QBarSet *set = columnChart(chart, QStringLiteral("Words"), words, labels);

    connect(set, &QBarSet::hovered, chart, [series](bool entered, int index) {
        if (!entered || index < 0 || index >= series.size()) {
            QToolTip::hideText();
            return;
        }
        const stats::DayFigures &day = series[index];
        showTip(QLocale().toString(day.date, QLocale::LongFormat) + u'\n' +
                plural(day.words, QStringLiteral("word"), QStringLiteral("words")) + QStringLiteral(", ") +
                plural(day.transcriptions, QStringLiteral("dictation"), QStringLiteral("dictations")));
    });
}

void StatsPage::fillHourly(const UsageStats &stats)
{
    QChart *chart = m_hourlyView->chart();
    clearChart(chart);
    m_hourlyBox->setVisible(stats.hourly.has_value());
    if (!stats.hourly)
        return;
    const std::array<qint64, stats::kHours> hours = stats::hourlySeries(stats);

    QList<std::pair<int, QString>> labels;
    for (int hour = 0; hour < stats::kHours; hour += kHourLabelStep)
        labels.append({hour, QStringLiteral("%1:00").arg(hour, 2, 10, QLatin1Char('0'))});
    QBarSet *set = columnChart(chart, QStringLiteral("Dictations"), QList<qint64>(hours.begin(), hours.end()), labels);

    connect(set, &QBarSet::hovered, chart, [hours](bool entered, int index) {
        if (!entered || index < 0 || index >= stats::kHours) {
            QToolTip::hideText();
            return;
        }
        showTip(QStringLiteral("%1:00–%1:59\n").arg(index, 2, 10, QLatin1Char('0')) +
                plural(hours[static_cast<size_t>(index)], QStringLiteral("dictation"), QStringLiteral("dictations")));
    });
}

void StatsPage::fillApps(const UsageStats &stats)
{
    QChart *chart = m_appsView->chart();
    clearChart(chart);
    const QList<stats::AppFigures> apps = stats::topApps(stats, kTopApps);
    m_appsBox->setVisible(!apps.isEmpty());
    if (apps.isEmpty())
        return;

    // Horizontal bars run bottom to top: the biggest goes last to sit on top.
    auto *set = new QBarSet(QStringLiteral("Words"));
    auto *y = new QBarCategoryAxis;
    qint64 max = 0;
    for (auto it = apps.crbegin(); it != apps.crend(); ++it) {
        set->append(static_cast<qreal>(it->words));
        QString label = it->label;
        if (label.size() > kAppLabelLength)
            label = label.left(kAppLabelLength - 1) + u'…';
        y->append(label);
        max = std::max(max, it->words);
    }
    auto *bars = new QHorizontalBarSeries;
    bars->setBarWidth(0.7);
    bars->append(set);
    bars->setLabelsVisible(true);
    bars->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
    bars->setLabelsPrecision(12);
    chart->addSeries(bars);
    y->setGridLineVisible(false);
    chart->addAxis(y, Qt::AlignLeft);
    bars->attachAxis(y);
    // Room to the right of the longest bar for its label.
    QValueAxis *x = countAxis(max, 0.15);
    chart->addAxis(x, Qt::AlignBottom);
    bars->attachAxis(x);
    m_appsView->setMinimumHeight(static_cast<int>(60 + 36 * apps.size()));

    connect(set, &QBarSet::hovered, chart, [apps](bool entered, int index) {
        const qsizetype at = apps.size() - 1 - index;
        if (!entered || at < 0 || at >= apps.size()) {
            QToolTip::hideText();
            return;
        }
        const stats::AppFigures &app = apps[at];
        showTip(app.label + u'\n' + plural(app.words, QStringLiteral("word"), QStringLiteral("words")) +
                QStringLiteral(", ") +
                plural(app.transcriptions, QStringLiteral("dictation"), QStringLiteral("dictations")));
    });
}

void StatsPage::fillPeriods(const UsageStats &stats)
{
    const QList<stats::PeriodColumn> columns = stats::periodComparison(stats);
    m_periodsBox->setVisible(!columns.isEmpty());
    for (qsizetype col = 0; col < columns.size() && col < m_periodHeaders.size(); ++col) {
        const stats::PeriodColumn &column = columns[col];
        const UsagePeriod &period = column.period;
        m_periodHeaders[col]->setText(column.label);
        const qint64 perDay = std::llround(static_cast<double>(period.words) / column.days);
        const QStringList values = {
            number(period.transcriptions),
            number(period.words),
            period.seconds > 0 ? TimeFormatting::timeSaved(static_cast<double>(period.seconds)) : UsageFigures::kNone,
            number(perDay),
        };
        for (qsizetype row = 0; row < values.size() && row < m_periodCells.size(); ++row)
            m_periodCells[row][col]->setText(values[row]);
    }
}

void StatsPage::applyPalette()
{
    const QPalette pal = palette();
    const QColor text = pal.color(QPalette::Text);
    const QColor line = pal.color(QPalette::Mid);
    QColor grid = line;
    grid.setAlpha(110);
    const QColor bar = pal.color(QPalette::Highlight);
    for (QChartView *view : {m_dailyView, m_hourlyView, m_appsView}) {
        view->setBackgroundBrush(pal.color(QPalette::Window));
        QChart *chart = view->chart();
        chart->setBackgroundBrush(pal.color(QPalette::Base));
        chart->setBackgroundPen(QPen(line));
        chart->setPlotAreaBackgroundVisible(false);
        chart->setTitleBrush(text);
        chart->legend()->setLabelColor(text);
        const QList<QAbstractAxis *> axes = chart->axes();
        for (QAbstractAxis *axis : axes) {
            axis->setLabelsColor(text);
            axis->setTitleBrush(text);
            axis->setLinePenColor(line);
            axis->setGridLineColor(grid);
            axis->setShadesVisible(false);
        }
        const QList<QAbstractSeries *> series = chart->series();
        for (QAbstractSeries *s : series) {
            auto *bars = qobject_cast<QAbstractBarSeries *>(s);
            if (!bars)
                continue;
            const QList<QBarSet *> sets = bars->barSets();
            for (QBarSet *set : sets) {
                set->setColor(bar);
                set->setBorderColor(bar);
                set->setLabelColor(text);
            }
        }
    }
}

} // namespace dravelin::ui
