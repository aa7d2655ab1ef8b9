#include "support/LogCapture.h"

namespace dravelin::test {

class LogCapture::Sink final : public logs::Sink
{
public:
    void write(const logs::Record &record) override
    {
        std::lock_guard lock(mutex);
        records.push_back(record);
    }
    mutable std::mutex mutex;
    std::vector<logs::Record> records;
};

LogCapture::LogCapture() : m_sink(std::make_shared<Sink>())
{
    logs::Router::addSink(m_sink);
}

LogCapture::~LogCapture()
{
    logs::Router::removeSink(m_sink);
}

std::vector<logs::Record> LogCapture::records() const
{
    std::lock_guard lock(m_sink->mutex);
    return m_sink->records;
}

QStringList LogCapture::messages(const QString &category) const
{
    QStringList out;
    for (const auto &r : records()) {
        if (r.category == category)
            out << r.message;
    }
    return out;
}

bool LogCapture::has(const QString &category, const QString &message, std::optional<logs::Level> level) const
{
    for (const auto &r : records()) {
        if (r.category == category && r.message == message && (!level || r.level == *level))
            return true;
    }
    return false;
}

bool LogCapture::hasPrefix(const QString &category, const QString &prefix) const
{
    for (const auto &r : records()) {
        if (r.category == category && r.message.startsWith(prefix))
            return true;
    }
    return false;
}

void LogCapture::clear()
{
    std::lock_guard lock(m_sink->mutex);
    m_sink->records.clear();
}

} // namespace dravelin::test
