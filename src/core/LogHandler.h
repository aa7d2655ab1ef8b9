#pragma once

#include <QDateTime>
#include <QString>

#include <memory>
#include <vector>

namespace dravelin::logs {

enum class Level {
    debug,
    info,
    error
};

QString levelName(Level level);

struct Record
{
    QDateTime time; // UTC
    Level level = Level::info;
    QString category; // component name ("pipeline") or the Qt category for foreign messages
    QString message;  // with private markers; sinks decide how to show them
};

class Sink
{
public:
    virtual ~Sink() = default;
    virtual void write(const Record &record) = 0;
};

// Sends every Qt message to the installed sinks. Thread-safe: messages may come
// from capture, database and listener threads.
class Router
{
public:
    // Installs the Qt message handler (idempotent).
    static void install();
    static void addSink(std::shared_ptr<Sink> sink);
    static void removeSink(const std::shared_ptr<Sink> &sink);
    static void removeAllSinks();
};

// Human-readable lines on standard error, private values shown.
class StderrSink final : public Sink
{
public:
    void write(const Record &record) override;
};

// The systemd journal, with SUBSYSTEM and CATEGORY fields; private values redacted.
class JournalSink final : public Sink
{
public:
    // Whether a journal is reachable from this process.
    static bool isAvailable();
    void write(const Record &record) override;
};

// A log file that rotates at maxBytes, keeping `keep` older files
// (dravelin.log, dravelin.log.1 … dravelin.log.<keep>); private values redacted.
// Each program writes its own file (the app dravelin.log, the command line
// dravelin-cli.log), so two processes never rotate the same one.
class RotatingFileSink final : public Sink
{
public:
    explicit RotatingFileSink(QString directory, qint64 maxBytes = 1 << 20, int keep = 3,
                              QString fileName = QStringLiteral("dravelin.log"));
    ~RotatingFileSink() override;
    void write(const Record &record) override;

    QString filePath() const;

private:
    void rotate();

    QString m_directory;
    QString m_fileName;
    qint64 m_maxBytes;
    int m_keep;
    struct State;
    std::unique_ptr<State> m_state;
};

// Encodes a record as one line of the log file, and back.
QString formatFileLine(const Record &record);
bool parseFileLine(const QString &line, Record &record);

// The newest `limit` entries of the application's own log files in `directory`,
// oldest first. Foreign (non-Dravelin) categories are left out.
std::vector<Record> readRecentEntries(const QString &directory, int limit);

} // namespace dravelin::logs
