#pragma once

#include "core/Expected.h"
#include "storage/Storage.h"

#include <chrono>
#include <functional>
#include <memory>

struct pg_conn;

namespace dravelin::server {

// Storage in a PostgreSQL database that several server instances may share,
// over one libpq connection. The schema follows SQLite's migrations version
// for version; they are applied at open under an advisory lock, so
// instances starting together migrate once. A lost connection is opened
// again before the next call (never inside a transaction).
class PostgresStorage final : public Storage
{
public:
    // `connection` is a postgres:// or postgresql:// URL or libpq's
    // key=value form.
    static Expected<std::unique_ptr<PostgresStorage>, QString> open(const QString &connection);
    ~PostgresStorage() override;

    int schemaVersion() override;
    QString location() const override;
    void setReadOnly(bool readOnly) override;

    std::optional<User> userById(const QString &id) override;
    std::optional<User> accountById(const QString &id) override;
    std::optional<User> userByEmail(const QString &email) override;
    std::optional<User> createUser(const QString &email, qint64 now) override;
    bool updateUserMetadata(const QString &id, const json::Json &metadata) override;
    bool saveAuthCode(const AuthCode &code) override;
    Expected<std::optional<AuthCode>, QString> consumeAuthCode(const QByteArray &codeHash) override;
    bool saveRefreshToken(const RefreshToken &token) override;
    std::optional<RefreshToken> refreshToken(const QByteArray &tokenHash) override;
    bool revokeRefreshToken(const QByteArray &tokenHash, qint64 now) override;
    bool revokeUserTokens(const QString &userId, qint64 now) override;
    bool rotateRefreshToken(const QByteArray &oldHash, const RefreshToken &replacement, qint64 now) override;
    bool purgeStaleGrants(qint64 codesExpiredBefore, qint64 tokensRevokedBefore) override;
    void recordTranscription(const TranscriptionRecord &record) override;
    int transcriptionCount(const QString &userId) override;
    bool attachRecordingAudio(const QString &userId, const QString &clientRecordingId,
                              const QString &audioPath) override;
    std::optional<QString> recordingAudioPath(const QString &userId, const QString &clientRecordingId) override;
    QualityLabelResult labelTranscriptionQuality(const QString &userId, const QString &clientRecordingId,
                                                 const QualityLabel &label) override;
    std::optional<QualityLabel> transcriptionQuality(const QString &userId, const QString &clientRecordingId) override;
    UsageTotals transcriptionTotals(const QString &userId) override;
    std::vector<TranscriptionUsage> transcriptionsSince(const QString &userId, qint64 since) override;
    std::vector<VocabularyTermRow> vocabularyTerms(const QString &userId) override;
    int vocabularyTermCount(const QString &userId) override;
    VocabularyWriteResult insertVocabularyTerms(const std::vector<VocabularyTermRow> &rows) override;
    void updateVocabularyTerms(const std::vector<VocabularyTermRow> &rows) override;
    void deleteVocabularyTerms(const QString &userId, const QStringList &ids) override;
    void recordModelRequest(const ModelRequestRecord &record) override;
    int modelRequestCount(const QString &userId, const QString &function) override;
    AdminSnapshot adminSnapshot(qint64 since, int recentLimit) override;
    bool setUserRole(const QString &userId, const QString &role) override;
    bool setUserDisabled(const QString &userId, std::optional<qint64> at) override;
    std::optional<QStringList> deleteUser(const QString &userId) override;
    bool labelTranscriptionById(const QString &transcriptionId, const QualityLabel &label) override;
    std::optional<QString> transcriptionAudioKey(const QString &transcriptionId) override;

private:
    explicit PostgresStorage(pg_conn *conn) : m_conn(conn) {}
    Expected<void, QString> migrate();
    // Opens the connection again when it was lost, outside transactions
    // (and at most every two seconds while that fails).
    pg_conn *connection();
    std::optional<User> userWhere(const char *sql, const QString &value);
    // Runs `body` in a transaction, committed when it returns true.
    bool inTransaction(const std::function<bool()> &body);
    // Logs why a write did not happen; false, for `return … || writeFailed(…)`.
    bool writeFailed(const char *what) const;

    pg_conn *m_conn;
    bool m_inTransaction = false;
    bool m_readOnly = false;
    std::chrono::steady_clock::time_point m_nextReconnect;
};

} // namespace dravelin::server
