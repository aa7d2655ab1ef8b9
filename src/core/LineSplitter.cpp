#include "core/LineSplitter.h"

namespace dravelin {

std::vector<QByteArray> LineSplitter::feed(const QByteArray &bytes)
{
    m_pending += bytes;
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype newline; (newline = m_pending.indexOf('\n', start)) >= 0; start = newline + 1) {
        QByteArray line = m_pending.sliced(start, newline - start).trimmed();
        if (!line.isEmpty())
            lines.push_back(std::move(line));
    }
    m_pending.remove(0, start); // once per feed, not once per line
    return lines;
}

std::vector<QByteArray> LineSplitter::finish()
{
    QByteArray last = m_pending.trimmed();
    m_pending.clear();
    if (last.isEmpty())
        return {};
    return {last};
}

} // namespace dravelin
