#pragma once

#include "core/LogHandler.h"
#include "support/QtPrinters.h"

#include <QStringList>

#include <memory>
#include <mutex>

namespace dravelin::test {

// Collects every log record while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    // Messages of one component, in order.
    QStringList messages(const QString &category) const;
    // Whether a message of the component equals `message` (at `level`, if given).
    bool has(const QString &category, const QString &message, std::optional<logs::Level> level = std::nullopt) const;
    // Whether a message of the component starts with `prefix`.
    bool hasPrefix(const QString &category, const QString &prefix) const;
    std::vector<logs::Record> records() const;
    void clear();

private:
    class Sink;
    std::shared_ptr<Sink> m_sink;
};

} // namespace dravelin::test
