#pragma once

#include "core/Scheduler.h"

#include <QString>

#include <utility>
#include <vector>

namespace dravelin {

// Times one dictation step by step: each mark records the milliseconds since
// the previous one.
class Stopwatch
{
public:
    explicit Stopwatch(const Scheduler &scheduler)
        : m_scheduler(scheduler)
        , m_start(scheduler.monotonicNow())
        , m_last(m_start)
    {}

    Millis startedAt() const { return m_start; }
    // Milliseconds since the stopwatch started.
    qint64 elapsed() const { return (m_scheduler.monotonicNow() - m_start).count(); }

    void mark(const QString &label)
    {
        const Millis now = m_scheduler.monotonicNow();
        m_marks.emplace_back(label, static_cast<int>((now - m_last).count()));
        m_last = now;
    }

    const std::vector<std::pair<QString, int>> &marks() const { return m_marks; }
    int total() const
    {
        int sum = 0;
        for (const auto &[label, ms] : m_marks)
            sum += ms;
        return sum;
    }

    // "⏱ Pipeline (N ms total)" and one "  label            ms" line per mark.
    QString summary() const
    {
        QString text = QStringLiteral("⏱ Pipeline (%1 ms total)\n").arg(total());
        QStringList lines;
        for (const auto &[label, ms] : m_marks)
            lines << QStringLiteral("  %1 %2 ms").arg(label, -16).arg(ms, 5);
        return text + lines.join(u'\n');
    }

private:
    const Scheduler &m_scheduler;
    Millis m_start;
    Millis m_last;
    std::vector<std::pair<QString, int>> m_marks;
};

} // namespace dravelin
