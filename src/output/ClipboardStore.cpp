#include "output/ClipboardStore.h"

#include "core/Log.h"
#include "output/UserDataPaths.h"

#include <QFileInfo>
#include <cmath>

#include <sqlite3.h>

#include <set>

namespace dravelin {

namespace {

const char *const kSchema = "CREATE TABLE IF NOT EXISTS entries (\n"
                            "    id TEXT PRIMARY KEY,\n"
                            "    text TEXT NOT NULL,\n"
                            "    created_at REAL NOT NULL,\n"
                            "    source_bundle_id TEXT\n"
                            ");\n"
                            "CREATE INDEX IF NOT EXISTS idx_created_at ON entries(created_at DESC);";

struct Migration
{
    const char *column;
    const char *statement;
};
const Migration kMigrations[] = {
    {"window_name", "ALTER TABLE entries ADD COLUMN window_name TEXT"},
    {"ai_processed", "ALTER TABLE entries ADD COLUMN ai_processed INTEGER NOT NULL DEFAULT 0"},
};

void info(const QString &message)
{
    logs::info(logs::clipboardStore(), message);
}

void error(const QString &message)
{
    logs::error(logs::clipboardStore(), message);
}

QString message(sqlite3 *db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("unknown");
}

// A prepared statement that finalises itself.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }

    void bindText(int index, const std::optional<QString> &text)
    {
        if (!text) {
            sqlite3_bind_null(m_stmt, index);
            return;
        }
        const QByteArray utf8 = text->toUtf8();
        sqlite3_bind_text(m_stmt, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }
    void bindInt(int index, int value) { sqlite3_bind_int(m_stmt, index, value); }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

std::optional<QString> columnText(sqlite3_stmt *stmt, int column)
{
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL)
        return std::nullopt;
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return QString::fromUtf8(text, sqlite3_column_bytes(stmt, column));
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

void DBHandle::insert(const ClipboardEntry &entry)
{
    Statement stmt(m_db, "INSERT OR REPLACE INTO entries (id, text, created_at, source_bundle_id, window_name, "
                         "ai_processed) VALUES (?, ?, ?, ?, ?, ?)");
    if (!stmt)
        return;
    stmt.bindText(1, uuidText(entry.id));
    stmt.bindText(2, entry.text);
    sqlite3_bind_double(stmt.get(), 3, static_cast<double>(entry.createdAt.toMSecsSinceEpoch()) / 1000.0);
    stmt.bindText(4, entry.sourceBundleID);
    stmt.bindText(5, entry.windowName);
    stmt.bindInt(6, entry.aiProcessed ? 1 : 0);
    sqlite3_step(stmt.get());
}

void DBHandle::trimToLast(int count)
{
    Statement stmt(m_db, "DELETE FROM entries WHERE id IN (\n"
                         "    SELECT id FROM entries ORDER BY created_at DESC\n"
                         "    LIMIT -1 OFFSET ?)");
    if (!stmt)
        return;
    stmt.bindInt(1, count);
    sqlite3_step(stmt.get());
}

void DBHandle::remove(const QUuid &id)
{
    Statement stmt(m_db, "DELETE FROM entries WHERE id = ?");
    if (!stmt)
        return;
    stmt.bindText(1, uuidText(id));
    sqlite3_step(stmt.get());
}

void DBHandle::removeAll()
{
    Statement stmt(m_db, "DELETE FROM entries");
    if (stmt)
        sqlite3_step(stmt.get());
}

std::vector<ClipboardEntry> DBHandle::loadAll(int limit)
{
    std::vector<ClipboardEntry> entries;
    Statement stmt(m_db, "SELECT id, text, created_at, source_bundle_id, window_name, ai_processed FROM entries "
                         "ORDER BY created_at DESC LIMIT ?");
    if (!stmt)
        return entries;
    stmt.bindInt(1, limit);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        const auto idText = columnText(stmt.get(), 0);
        const auto text = columnText(stmt.get(), 1);
        const QUuid id = idText ? QUuid::fromString(*idText) : QUuid();
        if (id.isNull() || !text)
            continue;
        ClipboardEntry entry;
        entry.id = id;
        entry.text = *text;
        entry.createdAt =
            QDateTime::fromMSecsSinceEpoch(std::llround(sqlite3_column_double(stmt.get(), 2) * 1000.0), Qt::UTC);
        entry.sourceBundleID = columnText(stmt.get(), 3);
        entry.windowName = columnText(stmt.get(), 4);
        entry.aiProcessed = sqlite3_column_int(stmt.get(), 5) != 0;
        entries.push_back(std::move(entry));
    }
    return entries;
}

struct ClipboardStore::State
{
    QString path;
    sqlite3 *db = nullptr;

    void open()
    {
        // The history is private: the database, and the journals SQLite
        // creates with its mode, are readable by the user only.
        UserDataPaths::makePrivateFile(path);
        for (const char *journal : {"-wal", "-shm", "-journal"}) {
            if (QFileInfo::exists(path + QLatin1String(journal)))
                UserDataPaths::makePrivateFile(path + QLatin1String(journal));
        }
        const QByteArray file = path.toUtf8();
        if (sqlite3_open(file.constData(), &db) != SQLITE_OK) {
            error(QStringLiteral("sqlite3_open failed at %1: %2").arg(path, message(db)));
            sqlite3_close(db);
            db = nullptr;
            return;
        }
        char *failure = nullptr;
        if (sqlite3_exec(db, kSchema, nullptr, nullptr, &failure) != SQLITE_OK) {
            error(QStringLiteral("schema init failed: %1").arg(QString::fromUtf8(failure ? failure : "unknown")));
            sqlite3_free(failure);
        }
        migrate();
    }

    void migrate()
    {
        std::set<QString> columns;
        {
            Statement list(db, "PRAGMA table_info(entries)");
            while (list && sqlite3_step(list.get()) == SQLITE_ROW) {
                if (const auto name = columnText(list.get(), 1))
                    columns.insert(*name);
            }
        }
        for (const Migration &migration : kMigrations) {
            const QString column = QString::fromLatin1(migration.column);
            if (columns.count(column))
                continue;
            char *failure = nullptr;
            if (sqlite3_exec(db, migration.statement, nullptr, nullptr, &failure) == SQLITE_OK) {
                info(QStringLiteral("Migrated clipboard schema — added column %1").arg(column));
            } else {
                error(QStringLiteral("migration failed adding %1: %2")
                          .arg(column, QString::fromUtf8(failure ? failure : "unknown")));
                sqlite3_free(failure);
            }
        }
    }

    void close()
    {
        if (db)
            sqlite3_close(db);
        db = nullptr;
    }
};

ClipboardStore::ClipboardStore(QString path, Scheduler &scheduler, const QueueFactory &queues)
    : m_state(std::make_shared<State>())
    , m_scheduler(scheduler)
    , m_queue(queues(QStringLiteral("com.dravelin.clipboard.store")))
{
    m_state->path = std::move(path);
    m_queue->enqueue([state = m_state] { state->open(); });
}

ClipboardStore::~ClipboardStore()
{
    m_queue->enqueue([state = m_state] { state->close(); });
}

QString ClipboardStore::path() const
{
    return m_state->path;
}

QCoro::Task<> ClipboardStore::write(std::function<void(DBHandle &)> body)
{
    auto run = [state = m_state, body = std::move(body)]() -> bool {
        if (!state->db)
            return false;
        try {
            DBHandle handle(state->db);
            body(handle);
        } catch (const std::exception &e) {
            error(QStringLiteral("write failed: %1").arg(QString::fromUtf8(e.what())));
        }
        return true;
    };
    co_await onQueue(*m_queue, m_scheduler, std::move(run));
}

QCoro::Task<std::vector<ClipboardEntry>> ClipboardStore::loadAll(int limit)
{
    auto load = [state = m_state, limit]() -> std::vector<ClipboardEntry> {
        if (!state->db)
            return {};
        DBHandle handle(state->db);
        return handle.loadAll(limit);
    };
    co_return co_await onQueue(*m_queue, m_scheduler, std::move(load));
}

} // namespace dravelin
