#include "storage/SqliteStorage.h"

#include "core/Log.h"
#include "storage/SharedQueries.h"

#include <QUuid>

#include <sqlite3.h>

namespace dravelin::server {

namespace {

// Each entry moves the schema one version up. Never edit a shipped entry;
// append a new one.
const char *const kMigrations[] = {
    // 1: accounts and sign-in
    "CREATE TABLE users (id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE, role TEXT NOT NULL DEFAULT 'authenticated',"
    " user_metadata TEXT NOT NULL DEFAULT '{}', created_at INTEGER NOT NULL);"
    "CREATE TABLE auth_codes (code_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL, client_id TEXT NOT NULL,"
    " redirect_uri TEXT NOT NULL, challenge TEXT NOT NULL, expires_at INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT "
    "0);"
    "CREATE TABLE refresh_tokens (token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL, client_id TEXT NOT NULL,"
    " created_at INTEGER NOT NULL, revoked_at INTEGER);"
    "CREATE INDEX idx_refresh_tokens_user ON refresh_tokens(user_id);",
    // 2: transcriptions, for usage statistics
    "CREATE TABLE transcriptions (id TEXT PRIMARY KEY, user_id TEXT NOT NULL, created_at INTEGER NOT NULL,"
    " duration_ms INTEGER NOT NULL, words INTEGER NOT NULL, engine TEXT NOT NULL, app_bundle_id TEXT,"
    " client_recording_id TEXT);"
    "CREATE INDEX idx_transcriptions_user ON transcriptions(user_id, created_at);",
    // 3: recordings the client uploaded and attached to their transcription
    "ALTER TABLE transcriptions ADD COLUMN audio_path TEXT;",
    // 4: quality labels per recording, automatic or set by an administrator
    "ALTER TABLE transcriptions ADD COLUMN quality_category TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_reason TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_source TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_updated_at INTEGER;"
    "CREATE INDEX idx_transcriptions_recording ON transcriptions(user_id, client_recording_id COLLATE NOCASE);",
    // 5: each user's vocabulary of terms and replacements
    "CREATE TABLE vocabulary_terms (id TEXT PRIMARY KEY,"
    " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE, term TEXT NOT NULL, replacement TEXT,"
    " is_favorite INTEGER NOT NULL DEFAULT 0, created_at INTEGER NOT NULL);"
    "CREATE INDEX idx_vocabulary_terms_user ON vocabulary_terms(user_id, created_at);",
    // 6: administration: disabled accounts, and what a dictation's timing and
    // (where recordings are kept) texts were
    "ALTER TABLE users ADD COLUMN disabled_at INTEGER;"
    "ALTER TABLE transcriptions ADD COLUMN time_to_text_ms INTEGER;"
    "ALTER TABLE transcriptions ADD COLUMN raw_text TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN cleaned_text TEXT;"
    "CREATE INDEX idx_transcriptions_created ON transcriptions(created_at);",
    // 7: the language model's work for the text functions
    "CREATE TABLE model_requests (id INTEGER PRIMARY KEY, user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
    " function TEXT NOT NULL, created_at INTEGER NOT NULL, input_chars INTEGER NOT NULL, output_chars INTEGER NOT NULL,"
    " elapsed_ms INTEGER NOT NULL, model TEXT NOT NULL);"
    "CREATE INDEX idx_model_requests_user ON model_requests(user_id, created_at);",
    // 8: the language each dictation was heard in
    "ALTER TABLE transcriptions ADD COLUMN language TEXT;",
};

// A prepared statement that finalizes itself.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            logs::error(logs::app(),
                        QStringLiteral("SQL prepare failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(db))));
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int i, const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(int i, const QByteArray &value) { return bind(i, QString::fromLatin1(value)); }
    Statement &bind(int i, qint64 value)
    {
        sqlite3_bind_int64(m_stmt, i, value);
        return *this;
    }
    Statement &bindNull(int i)
    {
        sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    template <typename T>
    Statement &bind(int i, const std::optional<T> &value)
    {
        return value ? bind(i, *value) : bindNull(i);
    }
    bool step() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool run() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_DONE; }
    QString text(int column) const
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return p ? QString::fromUtf8(p) : QString();
    }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::optional<QString> optionalText(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional<QString>(text(column));
    }
    std::optional<qint64> optionalInteger(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional<qint64>(integer(column));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

} // namespace

Expected<std::unique_ptr<SqliteStorage>, QString> SqliteStorage::open(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) {
        const QString message = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return Unexpected{QStringLiteral("could not open %1: %2").arg(path, message)};
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr);
    std::unique_ptr<SqliteStorage> storage(new SqliteStorage(db, path));
    if (auto migrated = storage->migrate(); !migrated)
        return Unexpected{migrated.error()};
    return storage;
}

SqliteStorage::~SqliteStorage()
{
    sqlite3_close(m_db);
}

int SqliteStorage::schemaVersion()
{
    Statement s(m_db, "PRAGMA user_version");
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

Expected<void, QString> SqliteStorage::migrate()
{
    const int total = static_cast<int>(std::size(kMigrations));
    if (schemaVersion() >= total)
        return {};
    // The version is read again under the write lock: another process
    // opening the file at the same moment migrates first, and this one then
    // finds nothing left to do.
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Unexpected{
            QStringLiteral("cannot lock the database to migrate it: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db)))};
    for (int version = schemaVersion(); version < total; ++version) {
        const QByteArray script =
            QByteArray(kMigrations[version]) + "PRAGMA user_version=" + QByteArray::number(version + 1) + ";";
        char *message = nullptr;
        if (sqlite3_exec(m_db, script.constData(), nullptr, nullptr, &message) != SQLITE_OK) {
            const QString text = QString::fromUtf8(message ? message : "unknown error");
            sqlite3_free(message);
            sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
            return Unexpected{QStringLiteral("migration %1 failed: %2").arg(version + 1).arg(text)};
        }
    }
    if (sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        return Unexpected{QStringLiteral("migrating failed: %1").arg(text)};
    }
    return {};
}

std::optional<User> SqliteStorage::userWhere(const char *sql, const QString &value)
{
    Statement s(m_db, sql);
    s.bind(1, value);
    if (!s.step())
        return std::nullopt;
    User user;
    user.id = s.text(0);
    user.email = s.text(1);
    user.role = s.text(2);
    auto metadata = json::parse(s.text(3).toUtf8());
    user.userMetadata = metadata && metadata->is_object() ? *metadata : json::Json::object();
    user.createdAt = s.integer(4);
    user.disabledAt = s.optionalInteger(5);
    return user;
}

std::optional<User> SqliteStorage::userById(const QString &id)
{
    return userWhere("SELECT id, email, role, user_metadata, created_at, disabled_at FROM users WHERE id = ?", id);
}

std::optional<User> SqliteStorage::accountById(const QString &id)
{
    return userWhere("SELECT id, email, role, '{}', created_at, disabled_at FROM users WHERE id = ?", id);
}

std::optional<User> SqliteStorage::userByEmail(const QString &email)
{
    return userWhere("SELECT id, email, role, user_metadata, created_at, disabled_at FROM users WHERE email = ?",
                     email.trimmed().toLower());
}

std::optional<User> SqliteStorage::createUser(const QString &email, qint64 now)
{
    const User user = User::created(email, now);
    Statement s(m_db, "INSERT INTO users (id, email, role, user_metadata, created_at) VALUES (?, ?, ?, '{}', ?)");
    if (!s.bind(1, user.id).bind(2, user.email).bind(3, user.role).bind(4, now).run()) {
        writeFailed("createUser");
        return std::nullopt;
    }
    return user;
}

bool SqliteStorage::updateUserMetadata(const QString &id, const json::Json &metadata)
{
    Statement s(m_db, "UPDATE users SET user_metadata = ? WHERE id = ?");
    return s.bind(1, QString::fromUtf8(json::encode(metadata))).bind(2, id).run() || writeFailed("updateUserMetadata");
}

bool SqliteStorage::saveAuthCode(const AuthCode &code)
{
    Statement s(m_db,
                "INSERT INTO auth_codes (code_hash, user_id, client_id, redirect_uri, challenge, expires_at, used)"
                " VALUES (?, ?, ?, ?, ?, ?, 0)");
    s.bind(1, code.codeHash).bind(2, code.userId).bind(3, code.clientId).bind(4, code.redirectUri);
    return s.bind(5, code.challenge).bind(6, code.expiresAt).run() || writeFailed("saveAuthCode");
}

Expected<std::optional<AuthCode>, QString> SqliteStorage::consumeAuthCode(const QByteArray &codeHash)
{
    Statement s(
        m_db,
        "SELECT user_id, client_id, redirect_uri, challenge, expires_at, used FROM auth_codes WHERE code_hash = ?");
    s.bind(1, codeHash);
    if (!s.step())
        return std::optional<AuthCode>();
    AuthCode code{codeHash, s.text(0), s.text(1), s.text(2), s.text(3).toLatin1(), s.integer(4), s.integer(5) != 0};
    Statement mark(m_db, "UPDATE auth_codes SET used = 1 WHERE code_hash = ?");
    if (!mark.bind(1, codeHash).run()) {
        writeFailed("consumeAuthCode");
        return Unexpected{QStringLiteral("the code could not be marked used")};
    }
    return std::optional<AuthCode>(code);
}

bool SqliteStorage::saveRefreshToken(const RefreshToken &token)
{
    Statement s(m_db, "INSERT INTO refresh_tokens (token_hash, user_id, client_id, created_at) VALUES (?, ?, ?, ?)");
    return s.bind(1, token.tokenHash).bind(2, token.userId).bind(3, token.clientId).bind(4, token.createdAt).run() ||
           writeFailed("saveRefreshToken");
}

std::optional<RefreshToken> SqliteStorage::refreshToken(const QByteArray &tokenHash)
{
    Statement s(m_db, "SELECT user_id, client_id, created_at, revoked_at FROM refresh_tokens WHERE token_hash = ?");
    s.bind(1, tokenHash);
    if (!s.step())
        return std::nullopt;
    RefreshToken token{tokenHash, s.text(0), s.text(1), s.integer(2), std::nullopt};
    if (!s.isNull(3))
        token.revokedAt = s.integer(3);
    return token;
}

bool SqliteStorage::revokeRefreshToken(const QByteArray &tokenHash, qint64 now)
{
    Statement s(m_db, "UPDATE refresh_tokens SET revoked_at = ? WHERE token_hash = ? AND revoked_at IS NULL");
    return s.bind(1, now).bind(2, tokenHash).run() || writeFailed("revokeRefreshToken");
}

bool SqliteStorage::revokeUserTokens(const QString &userId, qint64 now)
{
    Statement s(m_db, "UPDATE refresh_tokens SET revoked_at = ? WHERE user_id = ? AND revoked_at IS NULL");
    return s.bind(1, now).bind(2, userId).run() || writeFailed("revokeUserTokens");
}

bool SqliteStorage::rotateRefreshToken(const QByteArray &oldHash, const RefreshToken &replacement, qint64 now)
{
    bool live = true;
    const bool rotated = inTransaction([&] {
        if (!revokeRefreshToken(oldHash, now))
            return false;
        live = sqlite3_changes(m_db) == 1;
        return live && saveRefreshToken(replacement);
    });
    if (rotated)
        return true;
    if (!live) {
        logs::info(logs::app(), QStringLiteral("A refresh token that was no longer live was not rotated"));
        return false;
    }
    return writeFailed("rotateRefreshToken");
}

bool SqliteStorage::purgeStaleGrants(qint64 codesExpiredBefore, qint64 tokensRevokedBefore)
{
    return inTransaction([&] {
               Statement codes(m_db, "DELETE FROM auth_codes WHERE expires_at < ?");
               Statement tokens(m_db, "DELETE FROM refresh_tokens WHERE revoked_at IS NOT NULL AND revoked_at < ?");
               return codes.bind(1, codesExpiredBefore).run() && tokens.bind(1, tokensRevokedBefore).run();
           }) ||
           writeFailed("purgeStaleGrants");
}

void SqliteStorage::setReadOnly(bool readOnly)
{
    sqlite3_exec(m_db, readOnly ? "PRAGMA query_only = ON;" : "PRAGMA query_only = OFF;", nullptr, nullptr, nullptr);
}

bool SqliteStorage::writeFailed(const char *what) const
{
    logs::error(logs::app(), QStringLiteral("Storage write failed (%1): %2")
                                 .arg(QLatin1String(what), QString::fromUtf8(sqlite3_errmsg(m_db))));
    return false;
}

void SqliteStorage::recordTranscription(const TranscriptionRecord &r)
{
    Statement s(m_db, "INSERT INTO transcriptions (id, user_id, created_at, duration_ms, words, engine, app_bundle_id,"
                      " client_recording_id, time_to_text_ms, raw_text, cleaned_text, language)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto unlessEmpty = [](const QString &v) { return v.isEmpty() ? std::nullopt : std::optional<QString>(v); };
    s.bind(1, r.id).bind(2, r.userId).bind(3, r.createdAt).bind(4, r.durationMs).bind(5, static_cast<qint64>(r.words));
    s.bind(6, r.engine).bind(7, unlessEmpty(r.appBundleId)).bind(8, unlessEmpty(r.clientRecordingId));
    s.bind(9, r.timeToTextMs).bind(10, r.rawText).bind(11, r.cleanedText).bind(12, unlessEmpty(r.language));
    s.run();
}

bool SqliteStorage::attachRecordingAudio(const QString &userId, const QString &clientRecordingId,
                                         const QString &audioPath)
{
    Statement s(m_db, "UPDATE transcriptions SET audio_path = ? WHERE user_id = ? AND client_recording_id = ?");
    s.bind(1, audioPath).bind(2, userId).bind(3, clientRecordingId);
    return s.run() && sqlite3_changes(m_db) > 0;
}

std::optional<QString> SqliteStorage::recordingAudioPath(const QString &userId, const QString &clientRecordingId)
{
    Statement s(m_db, "SELECT audio_path FROM transcriptions WHERE user_id = ? AND client_recording_id = ? "
                      "AND audio_path IS NOT NULL");
    s.bind(1, userId).bind(2, clientRecordingId);
    if (!s.step())
        return std::nullopt;
    return s.text(0);
}

int SqliteStorage::transcriptionCount(const QString &userId)
{
    Statement s(m_db, "SELECT COUNT(*) FROM transcriptions WHERE user_id = ?");
    s.bind(1, userId);
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

QualityLabelResult SqliteStorage::labelTranscriptionQuality(const QString &userId, const QString &clientRecordingId,
                                                            const QualityLabel &label)
{
    // An automatic label never replaces an administrator's.
    Statement s(m_db, "UPDATE transcriptions SET quality_category = ?1, quality_reason = ?2, quality_source = ?3,"
                      " quality_updated_at = ?4 WHERE user_id = ?5 AND client_recording_id = ?6 COLLATE NOCASE"
                      " AND (?3 = 'admin' OR quality_source IS NULL OR quality_source <> 'admin')");
    s.bind(1, label.category)
        .bind(2, label.reason)
        .bind(3, label.source)
        .bind(4, label.updatedAt)
        .bind(5, userId)
        .bind(6, clientRecordingId);
    if (s.run() && sqlite3_changes(m_db) > 0)
        return QualityLabelResult::stored;
    Statement exists(
        m_db, "SELECT COUNT(*) FROM transcriptions WHERE user_id = ? AND client_recording_id = ? COLLATE NOCASE");
    exists.bind(1, userId).bind(2, clientRecordingId);
    return exists.step() && exists.integer(0) > 0 ? QualityLabelResult::adminOverride
                                                  : QualityLabelResult::noTranscription;
}

std::optional<QualityLabel> SqliteStorage::transcriptionQuality(const QString &userId, const QString &clientRecordingId)
{
    Statement s(m_db, "SELECT quality_category, quality_reason, quality_source, quality_updated_at FROM transcriptions"
                      " WHERE user_id = ? AND client_recording_id = ? COLLATE NOCASE AND quality_category IS NOT NULL"
                      " ORDER BY quality_updated_at DESC LIMIT 1");
    s.bind(1, userId).bind(2, clientRecordingId);
    if (!s.step())
        return std::nullopt;
    QualityLabel label{s.text(0), std::nullopt, s.text(2), s.integer(3)};
    if (!s.isNull(1))
        label.reason = s.text(1);
    return label;
}

UsageTotals SqliteStorage::transcriptionTotals(const QString &userId)
{
    Statement s(m_db, "SELECT COUNT(*), COALESCE(SUM(words), 0), COALESCE(SUM(duration_ms), 0) FROM transcriptions"
                      " WHERE user_id = ?");
    s.bind(1, userId);
    if (!s.step())
        return {};
    return UsageTotals{s.integer(0), s.integer(1), s.integer(2)};
}

std::vector<TranscriptionUsage> SqliteStorage::transcriptionsSince(const QString &userId, qint64 since)
{
    Statement s(m_db, "SELECT created_at, duration_ms, words, app_bundle_id FROM transcriptions"
                      " WHERE user_id = ? AND created_at >= ? ORDER BY created_at");
    s.bind(1, userId).bind(2, since);
    std::vector<TranscriptionUsage> rows;
    while (s.step())
        rows.push_back(TranscriptionUsage{s.integer(0), s.integer(1), s.integer(2), s.text(3)});
    return rows;
}

bool SqliteStorage::inTransaction(const std::function<bool()> &body)
{
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    if (body() && sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return false;
}

std::vector<VocabularyTermRow> SqliteStorage::vocabularyTerms(const QString &userId)
{
    Statement s(m_db, "SELECT id, user_id, term, replacement, is_favorite, created_at FROM vocabulary_terms"
                      " WHERE user_id = ? ORDER BY created_at, rowid");
    s.bind(1, userId);
    std::vector<VocabularyTermRow> rows;
    while (s.step()) {
        VocabularyTermRow row{s.text(0), s.text(1), s.text(2), std::nullopt, s.integer(4) != 0, s.integer(5)};
        if (!s.isNull(3))
            row.replacement = s.text(3);
        rows.push_back(std::move(row));
    }
    return rows;
}

int SqliteStorage::vocabularyTermCount(const QString &userId)
{
    Statement s(m_db, "SELECT COUNT(*) FROM vocabulary_terms WHERE user_id = ?");
    s.bind(1, userId);
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

VocabularyWriteResult SqliteStorage::insertVocabularyTerms(const std::vector<VocabularyTermRow> &rows)
{
    bool duplicate = false;
    const bool stored = inTransaction([&] {
        for (const auto &row : rows) {
            Statement exists(m_db, "SELECT 1 FROM vocabulary_terms WHERE id = ?");
            exists.bind(1, row.id);
            if (exists.step()) {
                duplicate = true;
                return false;
            }
            Statement s(m_db, "INSERT INTO vocabulary_terms (id, user_id, term, replacement, is_favorite, created_at)"
                              " VALUES (?, ?, ?, ?, ?, ?)");
            s.bind(1, row.id).bind(2, row.userId).bind(3, row.term).bind(4, row.replacement);
            s.bind(5, qint64(row.isFavorite ? 1 : 0)).bind(6, row.createdAtUs);
            if (!s.run())
                return false;
        }
        return true;
    });
    if (!stored && !duplicate)
        logs::error(logs::app(),
                    QStringLiteral("Storing vocabulary terms failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    return duplicate ? VocabularyWriteResult::duplicateId : VocabularyWriteResult::stored;
}

void SqliteStorage::updateVocabularyTerms(const std::vector<VocabularyTermRow> &rows)
{
    inTransaction([&] {
        for (const auto &row : rows) {
            Statement s(m_db, "UPDATE vocabulary_terms SET term = ?, replacement = ?, is_favorite = ?"
                              " WHERE id = ? AND user_id = ?");
            s.bind(1, row.term).bind(2, row.replacement);
            s.bind(3, qint64(row.isFavorite ? 1 : 0)).bind(4, row.id).bind(5, row.userId);
            if (!s.run())
                return false;
        }
        return true;
    });
}

void SqliteStorage::deleteVocabularyTerms(const QString &userId, const QStringList &ids)
{
    inTransaction([&] {
        for (const auto &id : ids) {
            Statement s(m_db, "DELETE FROM vocabulary_terms WHERE id = ? AND user_id = ?");
            s.bind(1, id).bind(2, userId);
            if (!s.run())
                return false;
        }
        return true;
    });
}

namespace {

using sql::adminTranscriptionQuery;

AdminTranscriptionRow adminTranscription(const Statement &s)
{
    AdminTranscriptionRow row{
        s.text(0),         s.text(1),         s.integer(2),      s.integer(3), s.text(4), s.optionalInteger(5),
        s.optionalText(6), s.optionalText(7), s.integer(8) != 0, std::nullopt};
    if (!s.isNull(9))
        row.quality = QualityLabel{s.text(9), s.optionalText(10), s.text(11), s.integer(12)};
    return row;
}

} // namespace

void SqliteStorage::recordModelRequest(const ModelRequestRecord &r)
{
    Statement s(m_db,
                "INSERT INTO model_requests (user_id, function, created_at, input_chars, output_chars, elapsed_ms,"
                " model) VALUES (?, ?, ?, ?, ?, ?, ?)");
    s.bind(1, r.userId).bind(2, r.function).bind(3, r.createdAt).bind(4, r.inputChars).bind(5, r.outputChars);
    s.bind(6, r.elapsedMs).bind(7, r.model).run();
}

int SqliteStorage::modelRequestCount(const QString &userId, const QString &function)
{
    Statement s(m_db, "SELECT COUNT(*) FROM model_requests WHERE user_id = ? AND function = ?");
    s.bind(1, userId).bind(2, function);
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

AdminSnapshot SqliteStorage::adminSnapshot(qint64 since, int recentLimit)
{
    AdminSnapshot snapshot;
    Statement users(m_db, "SELECT u.id, u.email, u.role, u.user_metadata, u.created_at, u.disabled_at,"
                          " MAX(t.created_at), COALESCE(SUM(t.duration_ms), 0), COUNT(t.id)"
                          " FROM users u LEFT JOIN transcriptions t ON t.user_id = u.id"
                          " GROUP BY u.id ORDER BY u.created_at, u.rowid");
    while (users.step()) {
        AdminUserRow row;
        row.user.id = users.text(0);
        row.user.email = users.text(1);
        row.user.role = users.text(2);
        auto metadata = json::parse(users.text(3).toUtf8());
        row.user.userMetadata = metadata && metadata->is_object() ? *metadata : json::Json::object();
        row.user.createdAt = users.integer(4);
        row.user.disabledAt = users.optionalInteger(5);
        row.lastActiveAt = users.optionalInteger(6);
        row.totalUsageMs = users.integer(7);
        row.recordings = users.integer(8);
        snapshot.users.push_back(std::move(row));
    }
    const QByteArray recentSql = adminTranscriptionQuery("ORDER BY t.created_at DESC, t.rowid DESC LIMIT ?");
    Statement recent(m_db, recentSql.constData());
    recent.bind(1, qint64(recentLimit));
    while (recent.step())
        snapshot.recent.push_back(adminTranscription(recent));
    const QByteArray windowSql = adminTranscriptionQuery("WHERE t.created_at >= ? ORDER BY t.created_at");
    Statement window(m_db, windowSql.constData());
    window.bind(1, since);
    while (window.step())
        snapshot.since.push_back(adminTranscription(window));
    Statement totals(m_db, "SELECT COUNT(*), COALESCE(SUM(duration_ms), 0), COALESCE(SUM(time_to_text_ms), 0),"
                           " COUNT(time_to_text_ms), SUM(CASE WHEN duration_ms <= 0 THEN 1 ELSE 0 END)"
                           " FROM transcriptions");
    if (totals.step()) {
        snapshot.totalRecordings = totals.integer(0);
        snapshot.totalUsageMs = totals.integer(1);
        snapshot.timeToTextSumMs = totals.integer(2);
        snapshot.timeToTextSamples = totals.integer(3);
        snapshot.unknownDuration = totals.integer(4);
    }
    Statement quality(m_db, "SELECT quality_category, COUNT(*) FROM transcriptions"
                            " WHERE quality_category IS NOT NULL GROUP BY quality_category");
    while (quality.step())
        snapshot.qualityCounts[quality.text(0)] = quality.integer(1);
    return snapshot;
}

bool SqliteStorage::setUserRole(const QString &userId, const QString &role)
{
    Statement s(m_db, "UPDATE users SET role = ? WHERE id = ?");
    return s.bind(1, role).bind(2, userId).run() && sqlite3_changes(m_db) > 0;
}

bool SqliteStorage::setUserDisabled(const QString &userId, std::optional<qint64> at)
{
    Statement s(m_db, "UPDATE users SET disabled_at = ? WHERE id = ?");
    return s.bind(1, at).bind(2, userId).run() && sqlite3_changes(m_db) > 0;
}

std::optional<QStringList> SqliteStorage::deleteUser(const QString &userId)
{
    if (!userById(userId))
        return std::nullopt;
    QStringList keys;
    const bool deleted = inTransaction([&] {
        Statement audio(m_db, "SELECT audio_path FROM transcriptions WHERE user_id = ? AND audio_path IS NOT NULL");
        audio.bind(1, userId);
        while (audio.step())
            keys << audio.text(0);
        for (const char *sql :
             {"DELETE FROM transcriptions WHERE user_id = ?", "DELETE FROM refresh_tokens WHERE user_id = ?",
              "DELETE FROM auth_codes WHERE user_id = ?", "DELETE FROM model_requests WHERE user_id = ?",
              "DELETE FROM vocabulary_terms WHERE user_id = ?", "DELETE FROM users WHERE id = ?"}) {
            Statement s(m_db, sql);
            if (!s.bind(1, userId).run())
                return false;
        }
        return true;
    });
    if (!deleted) {
        logs::error(logs::app(),
                    QStringLiteral("Deleting a user failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
        return std::nullopt;
    }
    return keys;
}

bool SqliteStorage::labelTranscriptionById(const QString &transcriptionId, const QualityLabel &label)
{
    Statement s(m_db, "UPDATE transcriptions SET quality_category = ?, quality_reason = ?, quality_source = ?,"
                      " quality_updated_at = ? WHERE id = ?");
    s.bind(1, label.category).bind(2, label.reason).bind(3, label.source).bind(4, label.updatedAt);
    return s.bind(5, transcriptionId).run() && sqlite3_changes(m_db) > 0;
}

std::optional<QString> SqliteStorage::transcriptionAudioKey(const QString &transcriptionId)
{
    Statement s(m_db, "SELECT COALESCE(audio_path, '') FROM transcriptions WHERE id = ?");
    s.bind(1, transcriptionId);
    if (!s.step())
        return std::nullopt;
    return s.text(0);
}

} // namespace dravelin::server
