#pragma once

#include <QByteArray>

#include <vector>

namespace dravelin {

// Cuts a byte stream into newline-delimited lines (NDJSON replies): bytes go
// in as they arrive, complete lines come out trimmed, blank ones skipped. At
// the end of the stream an unterminated last line counts as a line too.
class LineSplitter
{
public:
    std::vector<QByteArray> feed(const QByteArray &bytes);
    std::vector<QByteArray> finish();

private:
    QByteArray m_pending;
};

} // namespace dravelin
