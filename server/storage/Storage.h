#pragma once

#include "core/Json.h"

#include <QString>
#include <QUuid>

#include <map>
#include <optional>
#include <vector>

namespace dravelin::server {

struct User
{
    QString id;
    QString email;
    QString role; // "authenticated" or "admin"
    json::Json userMetadata = json::Json::object();
    qint64 createdAt = 0;
    std::optional<qint64> disabledAt; // an administrator disabled the account

    // A new account for `email` (trimmed, lower-cased) with a fresh id.
    static User created(const QString &email, qint64 now)
    {
        return {QUuid::createUuid().toString(QUuid::WithoutBraces),
                email.trimmed().toLower(),
                QStringLiteral("authenticated"),
                json::Json::object(),
                now,
                std::nullopt};
    }
};

struct AuthCode
{
    QByteArray codeHash;
    QString userId;
    QString clientId;
    QString redirectUri;
    QByteArray challenge;
    qint64 expiresAt = 0;
    bool used = false;
};

struct RefreshToken
{
    QByteArray tokenHash;
    QString userId;
    QString clientId; // empty for tokens of the JSON refresh endpoint
    qint64 createdAt = 0;
    std::optional<qint64> revokedAt;
};

struct TranscriptionRecord
{
    QString id;
    QString userId;
    qint64 createdAt = 0;
    qint64 durationMs = 0;
    int words = 0;
    QString engine;
    QString appBundleId;
    QString clientRecordingId;
    std::optional<qint64> timeToTextMs = std::nullopt; // from the audio in hand to the text
    QString language = {};                             // as heard ("de"); empty when the engine cannot tell
    // The texts, kept only where the server keeps recordings.
    std::optional<QString> rawText = std::nullopt;
    std::optional<QString> cleanedText = std::nullopt;
};

// How well a transcription went, as labelled by the client's automatic
// report or by an administrator.
struct QualityLabel
{
    QString category; // "success", "error", "accuracy_issue", "no_speech"
    std::optional<QString> reason;
    QString source; // "auto" or "admin"
    qint64 updatedAt = 0;
};

enum class QualityLabelResult {
    stored,
    noTranscription, // the user has no transcription with that client recording id
    adminOverride    // an administrator's label is there and an automatic one does not replace it
};

// What the usage figures are counted from.
struct TranscriptionUsage
{
    qint64 createdAt = 0;
    qint64 durationMs = 0;
    qint64 words = 0;
    QString appBundleId; // empty when unknown
};

struct UsageTotals
{
    qint64 transcriptions = 0;
    qint64 words = 0;
    qint64 durationMs = 0;
};

// One row of a user's vocabulary. Ids are lower-case canonical UUIDs.
struct VocabularyTermRow
{
    QString id;
    QString userId;
    QString term;
    std::optional<QString> replacement;
    bool isFavorite = false;
    qint64 createdAtUs = 0; // microseconds since the epoch, UTC
};

enum class VocabularyWriteResult {
    stored,
    duplicateId // an id that is already taken (by anyone)
};

// One use of the language model by a text function (rewrite, ask).
struct ModelRequestRecord
{
    QString userId;
    QString function; // "rewrite", "ask"
    qint64 createdAt = 0;
    qint64 inputChars = 0;
    qint64 outputChars = 0;
    qint64 elapsedMs = 0;
    QString model;
};

// What the administrators' dashboard is computed from.
struct AdminUserRow
{
    User user;
    std::optional<qint64> lastActiveAt; // the newest transcription
    qint64 totalUsageMs = 0;
    qint64 recordings = 0;
};

struct AdminTranscriptionRow
{
    QString id;
    QString userId;
    qint64 createdAt = 0;
    qint64 durationMs = 0;
    QString engine;
    std::optional<qint64> timeToTextMs;
    std::optional<QString> rawText;
    std::optional<QString> cleanedText;
    bool hasAudio = false;
    std::optional<QualityLabel> quality;
};

struct AdminSnapshot
{
    std::vector<AdminUserRow> users;           // oldest account first
    std::vector<AdminTranscriptionRow> since;  // every transcription since the asked time, oldest first
    std::vector<AdminTranscriptionRow> recent; // the newest transcriptions, newest first
    qint64 totalRecordings = 0;
    qint64 totalUsageMs = 0;
    qint64 timeToTextSumMs = 0;
    qint64 timeToTextSamples = 0;
    qint64 unknownDuration = 0;              // recordings with no audio length
    std::map<QString, qint64> qualityCounts; // by category
};

// The server's data: SQLite for one machine, PostgreSQL for instances that
// share one database. Calls block until the database answers.
class Storage
{
public:
    virtual ~Storage() = default;

    // The migrations applied (the newest one's number).
    virtual int schemaVersion() = 0;
    // Where the data is, for messages: a file, or a database and its host
    // (never a password).
    virtual QString location() const = 0;
    // Refuses every write from now on (or again accepts them): maintenance,
    // and the behaviour of a full disk in tests.
    virtual void setReadOnly(bool readOnly) = 0;

    virtual std::optional<User> userById(const QString &id) = 0;
    // The same without the user's metadata (left empty): what checking a
    // request's token needs, without reading and parsing the profile.
    virtual std::optional<User> accountById(const QString &id) = 0;
    virtual std::optional<User> userByEmail(const QString &email) = 0;
    // The writes a session's safety rests on report whether they were
    // stored (a full disk, a read-only database): a request must never
    // succeed, or a revocation look done, when nothing was written.
    // None when the user could not be stored.
    [[nodiscard]] virtual std::optional<User> createUser(const QString &email, qint64 now) = 0;
    [[nodiscard]] virtual bool updateUserMetadata(const QString &id, const json::Json &metadata) = 0;

    [[nodiscard]] virtual bool saveAuthCode(const AuthCode &code) = 0;
    // The code (even an already used one), marking it used; an error when the
    // mark could not be stored.
    virtual Expected<std::optional<AuthCode>, QString> consumeAuthCode(const QByteArray &codeHash) = 0;

    [[nodiscard]] virtual bool saveRefreshToken(const RefreshToken &token) = 0;
    virtual std::optional<RefreshToken> refreshToken(const QByteArray &tokenHash) = 0;
    [[nodiscard]] virtual bool revokeRefreshToken(const QByteArray &tokenHash, qint64 now) = 0;
    [[nodiscard]] virtual bool revokeUserTokens(const QString &userId, qint64 now) = 0;
    // Revokes `oldHash` and saves `replacement` together, or neither: false
    // too when `oldHash` was no longer live (another request rotated or
    // revoked it first).
    [[nodiscard]] virtual bool rotateRefreshToken(const QByteArray &oldHash, const RefreshToken &replacement,
                                                  qint64 now) = 0;
    // Deletes authorization codes that expired before `codesExpiredBefore`
    // and refresh tokens revoked before `tokensRevokedBefore`; false when the
    // database took no writes.
    virtual bool purgeStaleGrants(qint64 codesExpiredBefore, qint64 tokensRevokedBefore) = 0;

    virtual void recordTranscription(const TranscriptionRecord &record) = 0;
    virtual int transcriptionCount(const QString &userId) = 0;
    // Links an uploaded recording to the user's transcription with that
    // client recording id; false when there is no such transcription.
    virtual bool attachRecordingAudio(const QString &userId, const QString &clientRecordingId,
                                      const QString &audioPath) = 0;
    virtual std::optional<QString> recordingAudioPath(const QString &userId, const QString &clientRecordingId) = 0;

    // Labels the user's own transcriptions with that client recording id
    // (compared without regard to case); never another user's.
    virtual QualityLabelResult labelTranscriptionQuality(const QString &userId, const QString &clientRecordingId,
                                                         const QualityLabel &label) = 0;
    virtual std::optional<QualityLabel> transcriptionQuality(const QString &userId,
                                                             const QString &clientRecordingId) = 0;

    virtual UsageTotals transcriptionTotals(const QString &userId) = 0;
    // The user's transcriptions created at or after `since` (seconds since
    // the epoch), oldest first.
    virtual std::vector<TranscriptionUsage> transcriptionsSince(const QString &userId, qint64 since) = 0;

    // The user's vocabulary, oldest first; never another user's rows.
    virtual std::vector<VocabularyTermRow> vocabularyTerms(const QString &userId) = 0;
    virtual int vocabularyTermCount(const QString &userId) = 0;
    // All rows or none.
    virtual VocabularyWriteResult insertVocabularyTerms(const std::vector<VocabularyTermRow> &rows) = 0;
    // Rewrites each row matched by its id and user id (all or none); the
    // owner and creation time of a row never change.
    virtual void updateVocabularyTerms(const std::vector<VocabularyTermRow> &rows) = 0;
    // Deletes the user's rows with these ids (all or none).
    virtual void deleteVocabularyTerms(const QString &userId, const QStringList &ids) = 0;

    virtual void recordModelRequest(const ModelRequestRecord &record) = 0;
    virtual int modelRequestCount(const QString &userId, const QString &function) = 0;

    // Administration. Transcriptions are named by their own id here.
    virtual AdminSnapshot adminSnapshot(qint64 since, int recentLimit) = 0;
    virtual bool setUserRole(const QString &userId, const QString &role) = 0;
    // Sets or clears the disabled time; false when there is no such user.
    virtual bool setUserDisabled(const QString &userId, std::optional<qint64> at) = 0;
    // Removes the user and everything of theirs (all or nothing); the
    // recordings' object keys, for the caller to delete the files. Nothing
    // when there is no such user.
    virtual std::optional<QStringList> deleteUser(const QString &userId) = 0;
    virtual bool labelTranscriptionById(const QString &transcriptionId, const QualityLabel &label) = 0;
    // The object key of the transcription's recording: empty when it has
    // none, nothing when there is no such transcription.
    virtual std::optional<QString> transcriptionAudioKey(const QString &transcriptionId) = 0;
};

} // namespace dravelin::server
