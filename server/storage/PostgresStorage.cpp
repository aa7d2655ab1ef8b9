#include "storage/PostgresStorage.h"

#include "core/Log.h"
#include "storage/SharedQueries.h"

#include <QDateTime>
#include <QUuid>

#include <libpq-fe.h>

namespace dravelin::server {

namespace {

// The same versions as SQLite's migrations, in PostgreSQL's types. Each entry
// moves the schema one version up. Never edit a shipped entry; append a new
// one (and its SQLite twin). `seq` columns keep the order rows were written
// in, which SQLite's rowid gives there.
const char *const kMigrations[] = {
    // 1: accounts and sign-in
    "CREATE TABLE users (id TEXT PRIMARY KEY, seq BIGINT GENERATED ALWAYS AS IDENTITY, email TEXT NOT NULL UNIQUE,"
    " role TEXT NOT NULL DEFAULT 'authenticated', user_metadata TEXT NOT NULL DEFAULT '{}',"
    " created_at BIGINT NOT NULL);"
    "CREATE TABLE auth_codes (code_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL, client_id TEXT NOT NULL,"
    " redirect_uri TEXT NOT NULL, challenge TEXT NOT NULL, expires_at BIGINT NOT NULL,"
    " used BOOLEAN NOT NULL DEFAULT FALSE);"
    "CREATE TABLE refresh_tokens (token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL, client_id TEXT NOT NULL,"
    " created_at BIGINT NOT NULL, revoked_at BIGINT);"
    "CREATE INDEX idx_refresh_tokens_user ON refresh_tokens(user_id);",
    // 2: transcriptions, for usage statistics
    "CREATE TABLE transcriptions (id TEXT PRIMARY KEY, seq BIGINT GENERATED ALWAYS AS IDENTITY,"
    " user_id TEXT NOT NULL, created_at BIGINT NOT NULL, duration_ms BIGINT NOT NULL, words BIGINT NOT NULL,"
    " engine TEXT NOT NULL, app_bundle_id TEXT, client_recording_id TEXT);"
    "CREATE INDEX idx_transcriptions_user ON transcriptions(user_id, created_at);",
    // 3: recordings the client uploaded and attached to their transcription
    "ALTER TABLE transcriptions ADD COLUMN audio_path TEXT;",
    // 4: quality labels per recording, automatic or set by an administrator
    "ALTER TABLE transcriptions ADD COLUMN quality_category TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_reason TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_source TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN quality_updated_at BIGINT;"
    "CREATE INDEX idx_transcriptions_recording ON transcriptions(user_id, lower(client_recording_id));",
    // 5: each user's vocabulary of terms and replacements
    "CREATE TABLE vocabulary_terms (id TEXT PRIMARY KEY, seq BIGINT GENERATED ALWAYS AS IDENTITY,"
    " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE, term TEXT NOT NULL, replacement TEXT,"
    " is_favorite BOOLEAN NOT NULL DEFAULT FALSE, created_at BIGINT NOT NULL);"
    "CREATE INDEX idx_vocabulary_terms_user ON vocabulary_terms(user_id, created_at);",
    // 6: administration: disabled accounts, and what a dictation's timing and
    // (where recordings are kept) texts were
    "ALTER TABLE users ADD COLUMN disabled_at BIGINT;"
    "ALTER TABLE transcriptions ADD COLUMN time_to_text_ms BIGINT;"
    "ALTER TABLE transcriptions ADD COLUMN raw_text TEXT;"
    "ALTER TABLE transcriptions ADD COLUMN cleaned_text TEXT;"
    "CREATE INDEX idx_transcriptions_created ON transcriptions(created_at);",
    // 7: the language model's work for the text functions
    "CREATE TABLE model_requests (id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE, function TEXT NOT NULL,"
    " created_at BIGINT NOT NULL, input_chars BIGINT NOT NULL, output_chars BIGINT NOT NULL,"
    " elapsed_ms BIGINT NOT NULL, model TEXT NOT NULL);"
    "CREATE INDEX idx_model_requests_user ON model_requests(user_id, created_at);",
    // 8: the language each dictation was heard in
    "ALTER TABLE transcriptions ADD COLUMN language TEXT;",
};

// Held for the migrating transaction: one instance migrates while the others
// wait, then find nothing left to do. ("dravelin" in ASCII.)
constexpr qint64 kMigrationLock = 0x64726176656c696e;

// A query parameter, sent as text; an empty optional is NULL.
class Param
{
public:
    Param(const QString &value) : m_text(value.toUtf8()) {}
    // Hashes and challenges: ASCII, kept as text as SQLite keeps them.
    Param(const QByteArray &value) : m_text(QString::fromLatin1(value).toUtf8()) {}
    Param(qint64 value) : m_text(QByteArray::number(value)) {}
    Param(int value) : m_text(QByteArray::number(value)) {}
    Param(bool value) : m_text(value ? "true" : "false") {}
    template <typename T>
    Param(const std::optional<T> &value)
    {
        if (value)
            m_text = Param(*value).m_text;
    }
    Param(const char *) = delete; // would otherwise become a bool

    const char *data() const { return m_text ? m_text->constData() : nullptr; }

private:
    std::optional<QByteArray> m_text;
};

// One row of a result, read from PostgreSQL's text format.
class Row
{
public:
    Row(const PGresult *result, int row) : m_result(result), m_row(row) {}

    bool isNull(int column) const { return PQgetisnull(m_result, m_row, column) != 0; }
    QString text(int column) const { return QString::fromUtf8(PQgetvalue(m_result, m_row, column)); }
    qint64 integer(int column) const { return QByteArray(PQgetvalue(m_result, m_row, column)).toLongLong(); }
    bool boolean(int column) const { return PQgetvalue(m_result, m_row, column)[0] == 't'; }
    std::optional<QString> optionalText(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional<QString>(text(column));
    }
    std::optional<qint64> optionalInteger(int column) const
    {
        return isNull(column) ? std::nullopt : std::optional<qint64>(integer(column));
    }

private:
    const PGresult *m_result;
    int m_row;
};

// A statement's result, cleared when it goes.
class Result
{
public:
    explicit Result(PGresult *result) : m_result(result) {}
    ~Result() { PQclear(m_result); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;

    bool ok() const
    {
        const ExecStatusType status = PQresultStatus(m_result);
        return m_result && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
    }
    int rows() const { return ok() ? PQntuples(m_result) : 0; }
    Row row(int i) const { return Row(m_result, i); }
    // The rows an INSERT, UPDATE or DELETE touched.
    qint64 affected() const { return ok() ? QByteArray(PQcmdTuples(m_result)).toLongLong() : 0; }
    // The command's tag: "COMMIT", or "ROLLBACK" for the commit of a
    // transaction that had already failed.
    QByteArray command() const { return ok() ? QByteArray(PQcmdStatus(m_result)) : QByteArray(); }

private:
    PGresult *m_result;
};

Result run(PGconn *conn, const char *sql, std::initializer_list<Param> params = {})
{
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const Param &param : params)
        values.push_back(param.data());
    return Result(
        PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
}

QString lastError(const PGconn *conn)
{
    return QString::fromUtf8(PQerrorMessage(conn)).trimmed();
}

User userFrom(const Row &row)
{
    User user;
    user.id = row.text(0);
    user.email = row.text(1);
    user.role = row.text(2);
    auto metadata = json::parse(row.text(3).toUtf8());
    user.userMetadata = metadata && metadata->is_object() ? *metadata : json::Json::object();
    user.createdAt = row.integer(4);
    user.disabledAt = row.optionalInteger(5);
    return user;
}

std::optional<QString> unlessEmpty(const QString &value)
{
    return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
}

} // namespace

Expected<std::unique_ptr<PostgresStorage>, QString> PostgresStorage::open(const QString &connection)
{
    // The given string is expanded in place of "dbname", so what it says
    // wins over these defaults.
    const QByteArray conninfo = connection.toUtf8();
    const char *const keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char *const values[] = {"10", "dravelin-server", conninfo.constData(), nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (!conn)
        return Unexpected{QStringLiteral("cannot connect to PostgreSQL: out of memory")};
    if (PQstatus(conn) != CONNECTION_OK) {
        const QString message = lastError(conn);
        PQfinish(conn);
        return Unexpected{QStringLiteral("cannot connect to PostgreSQL: %1").arg(message)};
    }
    // Notices ("already exists, skipping") are not for the terminal.
    PQsetNoticeProcessor(
        conn, [](void *, const char *message) { logs::debug(logs::app(), QString::fromUtf8(message).trimmed()); },
        nullptr);
    std::unique_ptr<PostgresStorage> storage(new PostgresStorage(conn));
    if (auto migrated = storage->migrate(); !migrated)
        return Unexpected{migrated.error()};
    return storage;
}

PostgresStorage::~PostgresStorage()
{
    PQfinish(m_conn);
}

PGconn *PostgresStorage::connection()
{
    if (PQstatus(m_conn) != CONNECTION_BAD || m_inTransaction)
        return m_conn;
    // While the database is unreachable, calls fail at once rather than each
    // waiting out a connection attempt.
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextReconnect)
        return m_conn;
    logs::info(logs::app(), QStringLiteral("The connection to PostgreSQL was lost; connecting again"));
    PQreset(m_conn);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        logs::error(logs::app(), QStringLiteral("Connecting to PostgreSQL again failed: %1").arg(lastError(m_conn)));
        m_nextReconnect = now + std::chrono::seconds(2);
    } else if (m_readOnly) {
        run(m_conn, "SET default_transaction_read_only = on");
    }
    return m_conn;
}

Expected<void, QString> PostgresStorage::migrate()
{
    QString failure;
    const auto step = [&](const Result &result, const QString &what) {
        if (!result.ok())
            failure = QStringLiteral("%1 failed: %2").arg(what, lastError(m_conn));
        return result.ok();
    };
    const bool migrated = inTransaction([&] {
        if (!step(run(m_conn, "SELECT pg_advisory_xact_lock($1)", {kMigrationLock}),
                  QStringLiteral("locking the schema")) ||
            !step(Result(PQexec(m_conn, "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY,"
                                        " applied_at BIGINT NOT NULL)")),
                  QStringLiteral("creating the migrations table")))
            return false;
        const Result current = run(m_conn, "SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
        if (!step(current, QStringLiteral("reading the schema version")))
            return false;
        const int total = static_cast<int>(std::size(kMigrations));
        for (int version = static_cast<int>(current.row(0).integer(0)); version < total; ++version) {
            const QString what = QStringLiteral("migration %1").arg(version + 1);
            if (!step(Result(PQexec(m_conn, kMigrations[version])), what) ||
                !step(run(m_conn, "INSERT INTO schema_migrations (version, applied_at) VALUES ($1, $2)",
                          {version + 1, QDateTime::currentSecsSinceEpoch()}),
                      what))
                return false;
        }
        return true;
    });
    if (!migrated)
        return Unexpected{failure.isEmpty() ? QStringLiteral("migrating failed: %1").arg(lastError(m_conn)) : failure};
    return {};
}

int PostgresStorage::schemaVersion()
{
    const Result r = run(connection(), "SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
    return r.rows() ? static_cast<int>(r.row(0).integer(0)) : 0;
}

QString PostgresStorage::location() const
{
    return QStringLiteral("PostgreSQL database \"%1\" on %2:%3")
        .arg(QString::fromUtf8(PQdb(m_conn)), QString::fromUtf8(PQhost(m_conn)), QString::fromUtf8(PQport(m_conn)));
}

void PostgresStorage::setReadOnly(bool readOnly)
{
    m_readOnly = readOnly;
    run(connection(), readOnly ? "SET default_transaction_read_only = on" : "SET default_transaction_read_only = off");
}

bool PostgresStorage::inTransaction(const std::function<bool()> &body)
{
    if (!run(connection(), "BEGIN").ok())
        return false;
    m_inTransaction = true;
    // A transaction with a failed statement answers COMMIT with ROLLBACK.
    const bool committed = body() && run(m_conn, "COMMIT").command() == "COMMIT";
    if (!committed)
        run(m_conn, "ROLLBACK");
    m_inTransaction = false;
    return committed;
}

bool PostgresStorage::writeFailed(const char *what) const
{
    logs::error(logs::app(),
                QStringLiteral("Storage write failed (%1): %2").arg(QLatin1String(what), lastError(m_conn)));
    return false;
}

std::optional<User> PostgresStorage::userWhere(const char *sql, const QString &value)
{
    const Result r = run(connection(), sql, {value});
    if (!r.rows())
        return std::nullopt;
    return userFrom(r.row(0));
}

std::optional<User> PostgresStorage::userById(const QString &id)
{
    return userWhere("SELECT id, email, role, user_metadata, created_at, disabled_at FROM users WHERE id = $1", id);
}

std::optional<User> PostgresStorage::accountById(const QString &id)
{
    return userWhere("SELECT id, email, role, '{}', created_at, disabled_at FROM users WHERE id = $1", id);
}

std::optional<User> PostgresStorage::userByEmail(const QString &email)
{
    return userWhere("SELECT id, email, role, user_metadata, created_at, disabled_at FROM users WHERE email = $1",
                     email.trimmed().toLower());
}

std::optional<User> PostgresStorage::createUser(const QString &email, qint64 now)
{
    const User user = User::created(email, now);
    const Result r = run(connection(),
                         "INSERT INTO users (id, email, role, user_metadata, created_at) VALUES ($1, $2, $3, '{}', $4)",
                         {user.id, user.email, user.role, now});
    if (!r.ok()) {
        writeFailed("createUser");
        return std::nullopt;
    }
    return user;
}

bool PostgresStorage::updateUserMetadata(const QString &id, const json::Json &metadata)
{
    return run(connection(), "UPDATE users SET user_metadata = $1 WHERE id = $2",
               {QString::fromUtf8(json::encode(metadata)), id})
               .ok() ||
           writeFailed("updateUserMetadata");
}

bool PostgresStorage::saveAuthCode(const AuthCode &code)
{
    return run(connection(),
               "INSERT INTO auth_codes (code_hash, user_id, client_id, redirect_uri, challenge, expires_at, used)"
               " VALUES ($1, $2, $3, $4, $5, $6, FALSE)",
               {code.codeHash, code.userId, code.clientId, code.redirectUri, code.challenge, code.expiresAt})
               .ok() ||
           writeFailed("saveAuthCode");
}

Expected<std::optional<AuthCode>, QString> PostgresStorage::consumeAuthCode(const QByteArray &codeHash)
{
    // One statement reads the code as it was and marks it used; the row lock
    // makes a second, simultaneous exchange (on any instance) see it used.
    const Result r = run(connection(),
                         "WITH old AS (SELECT code_hash, used FROM auth_codes WHERE code_hash = $1 FOR UPDATE)"
                         " UPDATE auth_codes a SET used = TRUE FROM old WHERE a.code_hash = old.code_hash"
                         " RETURNING a.user_id, a.client_id, a.redirect_uri, a.challenge, a.expires_at, old.used",
                         {codeHash});
    if (!r.ok()) {
        writeFailed("consumeAuthCode");
        return Unexpected{QStringLiteral("the code could not be marked used")};
    }
    if (!r.rows())
        return std::optional<AuthCode>();
    const Row row = r.row(0);
    return std::optional<AuthCode>(AuthCode{codeHash, row.text(0), row.text(1), row.text(2), row.text(3).toLatin1(),
                                            row.integer(4), row.boolean(5)});
}

bool PostgresStorage::saveRefreshToken(const RefreshToken &token)
{
    return run(connection(),
               "INSERT INTO refresh_tokens (token_hash, user_id, client_id, created_at) VALUES ($1, $2, $3, $4)",
               {token.tokenHash, token.userId, token.clientId, token.createdAt})
               .ok() ||
           writeFailed("saveRefreshToken");
}

std::optional<RefreshToken> PostgresStorage::refreshToken(const QByteArray &tokenHash)
{
    const Result r =
        run(connection(), "SELECT user_id, client_id, created_at, revoked_at FROM refresh_tokens WHERE token_hash = $1",
            {tokenHash});
    if (!r.rows())
        return std::nullopt;
    const Row row = r.row(0);
    return RefreshToken{tokenHash, row.text(0), row.text(1), row.integer(2), row.optionalInteger(3)};
}

bool PostgresStorage::revokeRefreshToken(const QByteArray &tokenHash, qint64 now)
{
    return run(connection(), "UPDATE refresh_tokens SET revoked_at = $1 WHERE token_hash = $2 AND revoked_at IS NULL",
               {now, tokenHash})
               .ok() ||
           writeFailed("revokeRefreshToken");
}

bool PostgresStorage::revokeUserTokens(const QString &userId, qint64 now)
{
    return run(connection(), "UPDATE refresh_tokens SET revoked_at = $1 WHERE user_id = $2 AND revoked_at IS NULL",
               {now, userId})
               .ok() ||
           writeFailed("revokeUserTokens");
}

bool PostgresStorage::rotateRefreshToken(const QByteArray &oldHash, const RefreshToken &replacement, qint64 now)
{
    // The conditional update takes the row's lock: of two instances rotating
    // the same token at once, the second finds it revoked and stores nothing.
    bool live = true;
    const bool rotated = inTransaction([&] {
        const Result revoked =
            run(m_conn, "UPDATE refresh_tokens SET revoked_at = $1 WHERE token_hash = $2 AND revoked_at IS NULL",
                {now, oldHash});
        if (!revoked.ok())
            return false;
        live = revoked.affected() == 1;
        return live && run(m_conn,
                           "INSERT INTO refresh_tokens (token_hash, user_id, client_id, created_at)"
                           " VALUES ($1, $2, $3, $4)",
                           {replacement.tokenHash, replacement.userId, replacement.clientId, replacement.createdAt})
                           .ok();
    });
    if (rotated)
        return true;
    if (!live) {
        logs::info(logs::app(), QStringLiteral("A refresh token that was no longer live was not rotated"));
        return false;
    }
    return writeFailed("rotateRefreshToken");
}

bool PostgresStorage::purgeStaleGrants(qint64 codesExpiredBefore, qint64 tokensRevokedBefore)
{
    return inTransaction([&] {
               return run(m_conn, "DELETE FROM auth_codes WHERE expires_at < $1", {codesExpiredBefore}).ok() &&
                      run(m_conn, "DELETE FROM refresh_tokens WHERE revoked_at IS NOT NULL AND revoked_at < $1",
                          {tokensRevokedBefore})
                          .ok();
           }) ||
           writeFailed("purgeStaleGrants");
}

void PostgresStorage::recordTranscription(const TranscriptionRecord &r)
{
    const Result result =
        run(connection(),
            "INSERT INTO transcriptions (id, user_id, created_at, duration_ms, words, engine, app_bundle_id,"
            " client_recording_id, time_to_text_ms, raw_text, cleaned_text, language)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
            {r.id, r.userId, r.createdAt, r.durationMs, r.words, r.engine, unlessEmpty(r.appBundleId),
             unlessEmpty(r.clientRecordingId), r.timeToTextMs, r.rawText, r.cleanedText, unlessEmpty(r.language)});
    if (!result.ok())
        writeFailed("recordTranscription");
}

int PostgresStorage::transcriptionCount(const QString &userId)
{
    const Result r = run(connection(), "SELECT COUNT(*) FROM transcriptions WHERE user_id = $1", {userId});
    return r.rows() ? static_cast<int>(r.row(0).integer(0)) : 0;
}

bool PostgresStorage::attachRecordingAudio(const QString &userId, const QString &clientRecordingId,
                                           const QString &audioPath)
{
    return run(connection(),
               "UPDATE transcriptions SET audio_path = $1 WHERE user_id = $2 AND client_recording_id = $3",
               {audioPath, userId, clientRecordingId})
               .affected() > 0;
}

std::optional<QString> PostgresStorage::recordingAudioPath(const QString &userId, const QString &clientRecordingId)
{
    const Result r = run(connection(),
                         "SELECT audio_path FROM transcriptions WHERE user_id = $1 AND client_recording_id = $2"
                         " AND audio_path IS NOT NULL ORDER BY seq LIMIT 1",
                         {userId, clientRecordingId});
    if (!r.rows())
        return std::nullopt;
    return r.row(0).text(0);
}

QualityLabelResult PostgresStorage::labelTranscriptionQuality(const QString &userId, const QString &clientRecordingId,
                                                              const QualityLabel &label)
{
    // An automatic label never replaces an administrator's.
    const Result r = run(connection(),
                         "UPDATE transcriptions SET quality_category = $1, quality_reason = $2, quality_source = $3,"
                         " quality_updated_at = $4 WHERE user_id = $5 AND lower(client_recording_id) = lower($6)"
                         " AND ($3 = 'admin' OR quality_source IS NULL OR quality_source <> 'admin')",
                         {label.category, label.reason, label.source, label.updatedAt, userId, clientRecordingId});
    if (r.affected() > 0)
        return QualityLabelResult::stored;
    const Result exists = run(m_conn,
                              "SELECT COUNT(*) FROM transcriptions"
                              " WHERE user_id = $1 AND lower(client_recording_id) = lower($2)",
                              {userId, clientRecordingId});
    return exists.rows() && exists.row(0).integer(0) > 0 ? QualityLabelResult::adminOverride
                                                         : QualityLabelResult::noTranscription;
}

std::optional<QualityLabel> PostgresStorage::transcriptionQuality(const QString &userId,
                                                                  const QString &clientRecordingId)
{
    const Result r =
        run(connection(),
            "SELECT quality_category, quality_reason, quality_source, quality_updated_at FROM transcriptions"
            " WHERE user_id = $1 AND lower(client_recording_id) = lower($2) AND quality_category IS NOT NULL"
            " ORDER BY quality_updated_at DESC, seq DESC LIMIT 1",
            {userId, clientRecordingId});
    if (!r.rows())
        return std::nullopt;
    const Row row = r.row(0);
    return QualityLabel{row.text(0), row.optionalText(1), row.text(2), row.integer(3)};
}

UsageTotals PostgresStorage::transcriptionTotals(const QString &userId)
{
    const Result r = run(connection(),
                         "SELECT COUNT(*), COALESCE(SUM(words), 0), COALESCE(SUM(duration_ms), 0) FROM transcriptions"
                         " WHERE user_id = $1",
                         {userId});
    if (!r.rows())
        return {};
    const Row row = r.row(0);
    return UsageTotals{row.integer(0), row.integer(1), row.integer(2)};
}

std::vector<TranscriptionUsage> PostgresStorage::transcriptionsSince(const QString &userId, qint64 since)
{
    const Result r = run(connection(),
                         "SELECT created_at, duration_ms, words, app_bundle_id FROM transcriptions"
                         " WHERE user_id = $1 AND created_at >= $2 ORDER BY created_at, seq",
                         {userId, since});
    std::vector<TranscriptionUsage> rows;
    for (int i = 0; i < r.rows(); ++i) {
        const Row row = r.row(i);
        rows.push_back(TranscriptionUsage{row.integer(0), row.integer(1), row.integer(2), row.text(3)});
    }
    return rows;
}

std::vector<VocabularyTermRow> PostgresStorage::vocabularyTerms(const QString &userId)
{
    const Result r = run(connection(),
                         "SELECT id, user_id, term, replacement, is_favorite, created_at FROM vocabulary_terms"
                         " WHERE user_id = $1 ORDER BY created_at, seq",
                         {userId});
    std::vector<VocabularyTermRow> rows;
    for (int i = 0; i < r.rows(); ++i) {
        const Row row = r.row(i);
        rows.push_back(VocabularyTermRow{row.text(0), row.text(1), row.text(2), row.optionalText(3), row.boolean(4),
                                         row.integer(5)});
    }
    return rows;
}

int PostgresStorage::vocabularyTermCount(const QString &userId)
{
    const Result r = run(connection(), "SELECT COUNT(*) FROM vocabulary_terms WHERE user_id = $1", {userId});
    return r.rows() ? static_cast<int>(r.row(0).integer(0)) : 0;
}

VocabularyWriteResult PostgresStorage::insertVocabularyTerms(const std::vector<VocabularyTermRow> &rows)
{
    bool duplicate = false;
    const bool stored = inTransaction([&] {
        for (const auto &row : rows) {
            // A taken id inserts nothing rather than failing, so it is told
            // apart from a database error.
            const Result r =
                run(m_conn,
                    "INSERT INTO vocabulary_terms (id, user_id, term, replacement, is_favorite, created_at)"
                    " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (id) DO NOTHING",
                    {row.id, row.userId, row.term, row.replacement, row.isFavorite, row.createdAtUs});
            if (!r.ok())
                return false;
            if (r.affected() == 0) {
                duplicate = true;
                return false;
            }
        }
        return true;
    });
    if (!stored && !duplicate)
        logs::error(logs::app(), QStringLiteral("Storing vocabulary terms failed: %1").arg(lastError(m_conn)));
    return duplicate ? VocabularyWriteResult::duplicateId : VocabularyWriteResult::stored;
}

void PostgresStorage::updateVocabularyTerms(const std::vector<VocabularyTermRow> &rows)
{
    const bool updated = inTransaction([&] {
        for (const auto &row : rows) {
            if (!run(m_conn,
                     "UPDATE vocabulary_terms SET term = $1, replacement = $2, is_favorite = $3"
                     " WHERE id = $4 AND user_id = $5",
                     {row.term, row.replacement, row.isFavorite, row.id, row.userId})
                     .ok())
                return false;
        }
        return true;
    });
    if (!updated)
        writeFailed("updateVocabularyTerms");
}

void PostgresStorage::deleteVocabularyTerms(const QString &userId, const QStringList &ids)
{
    const bool deleted = inTransaction([&] {
        for (const auto &id : ids) {
            if (!run(m_conn, "DELETE FROM vocabulary_terms WHERE id = $1 AND user_id = $2", {id, userId}).ok())
                return false;
        }
        return true;
    });
    if (!deleted)
        writeFailed("deleteVocabularyTerms");
}

void PostgresStorage::recordModelRequest(const ModelRequestRecord &r)
{
    const Result result = run(connection(),
                              "INSERT INTO model_requests (user_id, function, created_at, input_chars, output_chars,"
                              " elapsed_ms, model) VALUES ($1, $2, $3, $4, $5, $6, $7)",
                              {r.userId, r.function, r.createdAt, r.inputChars, r.outputChars, r.elapsedMs, r.model});
    if (!result.ok())
        writeFailed("recordModelRequest");
}

int PostgresStorage::modelRequestCount(const QString &userId, const QString &function)
{
    const Result r = run(connection(), "SELECT COUNT(*) FROM model_requests WHERE user_id = $1 AND function = $2",
                         {userId, function});
    return r.rows() ? static_cast<int>(r.row(0).integer(0)) : 0;
}

namespace {

using sql::adminTranscriptionQuery;

AdminTranscriptionRow adminTranscription(const Row &row)
{
    AdminTranscriptionRow t{
        row.text(0),         row.text(1),         row.integer(2), row.integer(3), row.text(4), row.optionalInteger(5),
        row.optionalText(6), row.optionalText(7), row.boolean(8), std::nullopt};
    if (!row.isNull(9))
        t.quality = QualityLabel{row.text(9), row.optionalText(10), row.text(11), row.integer(12)};
    return t;
}

} // namespace

AdminSnapshot PostgresStorage::adminSnapshot(qint64 since, int recentLimit)
{
    AdminSnapshot snapshot;
    const Result users = run(connection(), "SELECT u.id, u.email, u.role, u.user_metadata, u.created_at, u.disabled_at,"
                                           " MAX(t.created_at), COALESCE(SUM(t.duration_ms), 0), COUNT(t.id)"
                                           " FROM users u LEFT JOIN transcriptions t ON t.user_id = u.id"
                                           " GROUP BY u.id ORDER BY u.created_at, u.seq");
    for (int i = 0; i < users.rows(); ++i) {
        const Row row = users.row(i);
        snapshot.users.push_back(AdminUserRow{userFrom(row), row.optionalInteger(6), row.integer(7), row.integer(8)});
    }
    const QByteArray recentSql = adminTranscriptionQuery("ORDER BY t.created_at DESC, t.seq DESC LIMIT $1");
    const Result recent = run(m_conn, recentSql.constData(), {recentLimit});
    for (int i = 0; i < recent.rows(); ++i)
        snapshot.recent.push_back(adminTranscription(recent.row(i)));
    const QByteArray windowSql = adminTranscriptionQuery("WHERE t.created_at >= $1 ORDER BY t.created_at, t.seq");
    const Result window = run(m_conn, windowSql.constData(), {since});
    for (int i = 0; i < window.rows(); ++i)
        snapshot.since.push_back(adminTranscription(window.row(i)));
    const Result totals =
        run(m_conn, "SELECT COUNT(*), COALESCE(SUM(duration_ms), 0), COALESCE(SUM(time_to_text_ms), 0),"
                    " COUNT(time_to_text_ms), COUNT(*) FILTER (WHERE duration_ms <= 0) FROM transcriptions");
    if (totals.rows()) {
        const Row row = totals.row(0);
        snapshot.totalRecordings = row.integer(0);
        snapshot.totalUsageMs = row.integer(1);
        snapshot.timeToTextSumMs = row.integer(2);
        snapshot.timeToTextSamples = row.integer(3);
        snapshot.unknownDuration = row.integer(4);
    }
    const Result quality = run(m_conn, "SELECT quality_category, COUNT(*) FROM transcriptions"
                                       " WHERE quality_category IS NOT NULL GROUP BY quality_category");
    for (int i = 0; i < quality.rows(); ++i)
        snapshot.qualityCounts[quality.row(i).text(0)] = quality.row(i).integer(1);
    return snapshot;
}

bool PostgresStorage::setUserRole(const QString &userId, const QString &role)
{
    return run(connection(), "UPDATE users SET role = $1 WHERE id = $2", {role, userId}).affected() > 0;
}

bool PostgresStorage::setUserDisabled(const QString &userId, std::optional<qint64> at)
{
    return run(connection(), "UPDATE users SET disabled_at = $1 WHERE id = $2", {at, userId}).affected() > 0;
}

std::optional<QStringList> PostgresStorage::deleteUser(const QString &userId)
{
    if (!userById(userId))
        return std::nullopt;
    QStringList keys;
    const bool deleted = inTransaction([&] {
        const Result audio = run(
            m_conn, "SELECT audio_path FROM transcriptions WHERE user_id = $1 AND audio_path IS NOT NULL", {userId});
        if (!audio.ok())
            return false;
        for (int i = 0; i < audio.rows(); ++i)
            keys << audio.row(i).text(0);
        for (const char *sql :
             {"DELETE FROM transcriptions WHERE user_id = $1", "DELETE FROM refresh_tokens WHERE user_id = $1",
              "DELETE FROM auth_codes WHERE user_id = $1", "DELETE FROM model_requests WHERE user_id = $1",
              "DELETE FROM vocabulary_terms WHERE user_id = $1", "DELETE FROM users WHERE id = $1"}) {
            if (!run(m_conn, sql, {userId}).ok())
                return false;
        }
        return true;
    });
    if (!deleted) {
        logs::error(logs::app(), QStringLiteral("Deleting a user failed: %1").arg(lastError(m_conn)));
        return std::nullopt;
    }
    return keys;
}

bool PostgresStorage::labelTranscriptionById(const QString &transcriptionId, const QualityLabel &label)
{
    return run(connection(),
               "UPDATE transcriptions SET quality_category = $1, quality_reason = $2, quality_source = $3,"
               " quality_updated_at = $4 WHERE id = $5",
               {label.category, label.reason, label.source, label.updatedAt, transcriptionId})
               .affected() > 0;
}

std::optional<QString> PostgresStorage::transcriptionAudioKey(const QString &transcriptionId)
{
    const Result r =
        run(connection(), "SELECT COALESCE(audio_path, '') FROM transcriptions WHERE id = $1", {transcriptionId});
    if (!r.rows())
        return std::nullopt;
    return r.row(0).text(0);
}

} // namespace dravelin::server
