#include "core/LogHandler.h"

#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <mutex>

#ifdef DRAVELIN_HAVE_SYSTEMD
#include <syslog.h>
#include <systemd/sd-journal.h>
#endif

namespace dravelin::logs {

QString levelName(Level level)
{
    switch (level) {
    case Level::debug:
        return QStringLiteral("debug");
    case Level::info:
        return QStringLiteral("info");
    case Level::error:
        return QStringLiteral("error");
    }
    return QStringLiteral("info");
}

namespace {

struct RouterState
{
    std::mutex mutex;
    std::vector<std::shared_ptr<Sink>> sinks;
    bool installed = false;
};

RouterState &routerState()
{
    static RouterState state;
    return state;
}

thread_local bool t_inHandler = false;

Level levelFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return Level::debug;
    case QtInfoMsg:
        return Level::info;
    default:
        return Level::error;
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_inHandler)
        return; // a sink logging about itself must not recurse
    t_inHandler = true;
    Record record;
    record.time = QDateTime::currentDateTimeUtc();
    record.level = levelFor(type);
    record.category = componentOf(context.category);
    if (record.category.isEmpty())
        record.category = QString::fromUtf8(context.category ? context.category : "default");
    record.message = message;

    std::vector<std::shared_ptr<Sink>> sinks;
    {
        auto &state = routerState();
        std::lock_guard lock(state.mutex);
        sinks = state.sinks;
    }
    for (const auto &sink : sinks)
        sink->write(record);
    t_inHandler = false;
    if (type == QtFatalMsg)
        std::abort();
}

QString escapeField(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else
            out += c;
    }
    return out;
}

QString unescapeField(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const QChar n = text[++i];
        if (n == u'n')
            out += u'\n';
        else if (n == u't')
            out += u'\t';
        else if (n == u'r')
            out += u'\r';
        else
            out += n;
    }
    return out;
}

} // namespace

void Router::install()
{
    auto &state = routerState();
    std::lock_guard lock(state.mutex);
    if (state.installed)
        return;
    state.installed = true;
    qInstallMessageHandler(messageHandler);
}

void Router::addSink(std::shared_ptr<Sink> sink)
{
    auto &state = routerState();
    std::lock_guard lock(state.mutex);
    state.sinks.push_back(std::move(sink));
}

void Router::removeSink(const std::shared_ptr<Sink> &sink)
{
    auto &state = routerState();
    std::lock_guard lock(state.mutex);
    std::erase(state.sinks, sink);
}

void Router::removeAllSinks()
{
    auto &state = routerState();
    std::lock_guard lock(state.mutex);
    state.sinks.clear();
}

void StderrSink::write(const Record &record)
{
    const QString line = QStringLiteral("%1 [%2] %3: %4\n")
                             .arg(record.time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")), record.category,
                                  levelName(record.level), revealed(record.message));
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
}

bool JournalSink::isAvailable()
{
#ifdef DRAVELIN_HAVE_SYSTEMD
    return QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"));
#else
    return false;
#endif
}

void JournalSink::write(const Record &record)
{
#ifdef DRAVELIN_HAVE_SYSTEMD
    const int priority = record.level == Level::error ? LOG_ERR : record.level == Level::info ? LOG_INFO : LOG_DEBUG;
    const QByteArray message = redacted(record.message).toUtf8();
    const QByteArray category = record.category.toUtf8();
    sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=dravelin",
                    "SUBSYSTEM=%s", kSubsystem, "CATEGORY=%s", category.constData(), nullptr);
#else
    Q_UNUSED(record);
#endif
}

struct RotatingFileSink::State
{
    std::mutex mutex;
    QFile file;
};

RotatingFileSink::RotatingFileSink(QString directory, qint64 maxBytes, int keep, QString fileName)
    : m_directory(std::move(directory))
    , m_fileName(std::move(fileName))
    , m_maxBytes(maxBytes)
    , m_keep(keep)
    , m_state(std::make_unique<State>())
{
    QDir().mkpath(m_directory);
    m_state->file.setFileName(filePath());
    m_state->file.open(QIODevice::Append | QIODevice::WriteOnly);
}

RotatingFileSink::~RotatingFileSink() = default;

QString RotatingFileSink::filePath() const
{
    return m_directory + QLatin1Char('/') + m_fileName;
}

void RotatingFileSink::rotate()
{
    m_state->file.close();
    const QString base = filePath();
    QFile::remove(base + QLatin1Char('.') + QString::number(m_keep));
    for (int i = m_keep - 1; i >= 1; --i)
        QFile::rename(base + QLatin1Char('.') + QString::number(i), base + QLatin1Char('.') + QString::number(i + 1));
    if (m_keep >= 1)
        QFile::rename(base, base + QStringLiteral(".1"));
    else
        QFile::remove(base);
    m_state->file.open(QIODevice::Append | QIODevice::WriteOnly);
}

void RotatingFileSink::write(const Record &record)
{
    const QByteArray line = formatFileLine(record).toUtf8() + '\n';
    std::lock_guard lock(m_state->mutex);
    if (!m_state->file.isOpen())
        return;
    if (m_state->file.size() + line.size() > m_maxBytes && m_state->file.size() > 0)
        rotate();
    m_state->file.write(line);
    m_state->file.flush();
}

QString formatFileLine(const Record &record)
{
    return record.time.toUTC().toString(Qt::ISODateWithMs) + u'\t' + levelName(record.level) + u'\t' +
           escapeField(record.category) + u'\t' + escapeField(redacted(record.message));
}

bool parseFileLine(const QString &line, Record &record)
{
    const QStringView view(line);
    const qsizetype a = view.indexOf(u'\t');
    const qsizetype b = a < 0 ? -1 : view.indexOf(u'\t', a + 1);
    const qsizetype c = b < 0 ? -1 : view.indexOf(u'\t', b + 1);
    if (c < 0)
        return false;
    record.time = QDateTime::fromString(view.left(a).toString(), Qt::ISODateWithMs);
    if (!record.time.isValid())
        return false;
    const QStringView level = view.mid(a + 1, b - a - 1);
    if (level == u"debug")
        record.level = Level::debug;
    else if (level == u"info")
        record.level = Level::info;
    else if (level == u"error")
        record.level = Level::error;
    else
        return false;
    record.category = unescapeField(view.mid(b + 1, c - b - 1));
    record.message = unescapeField(view.mid(c + 1));
    return true;
}

std::vector<Record> readRecentEntries(const QString &directory, int limit)
{
    // Oldest file first, so the result comes out in time order.
    QStringList files;
    const QString base = directory + QStringLiteral("/dravelin.log");
    for (int i = 9; i >= 1; --i) {
        const QString rotated = base + QLatin1Char('.') + QString::number(i);
        if (QFileInfo::exists(rotated))
            files << rotated;
    }
    files << base;

    static const QStringList components = [] {
        QStringList names;
#define DRAVELIN_COMPONENT_NAME(fn, name) names << QStringLiteral(name);
        DRAVELIN_LOG_CATEGORIES(DRAVELIN_COMPONENT_NAME)
#undef DRAVELIN_COMPONENT_NAME
        return names;
    }();

    std::vector<Record> records;
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            QString line = QString::fromUtf8(file.readLine());
            if (line.endsWith(u'\n'))
                line.chop(1);
            Record record;
            if (parseFileLine(line, record) && components.contains(record.category))
                records.push_back(std::move(record));
        }
    }
    if (limit >= 0 && records.size() > static_cast<size_t>(limit))
        records.erase(records.begin(), records.end() - limit);
    return records;
}

} // namespace dravelin::logs
