#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace dravelin::server {

// The language model behind rewrite and ask.
struct LlmSettings
{
    QString provider = QStringLiteral("auto"); // "auto" (local when installed), "local", "openai", "none"
    QString model;     // local: a GGUF file (default: the one setup installed); openai: the model's name
    QString baseUrl;   // openai: e.g. http://127.0.0.1:8080/v1
    QByteArray apiKey; // openai; $DRAVELIN_LLM_API_KEY when not set here
    bool stream = false;
    qint64 timeLimitMs = 20000; // per request, from when it is accepted
    int threads = 2;
};

// How transcripts are cleaned: "rules" alone, or "model" (the rules, then the
// language model, falling back to the rules' text whenever the model is
// missing, slow or changes the speaker's words).
struct CleanupSettings
{
    QString mode = QStringLiteral("rules");
    qint64 timeLimitMs = 4000; // the model's share of a dictation's wait
};

// The update feed the server offers its clients at /updates/feed.json.
struct UpdateSettings
{
    QString feedFile; // served as it is, read at every request; empty: a feed naming this server's own version
};

// Everything dravelin-server can be told, from its config file and flags.
// A spoken language as clients and the config name it: "auto", or a
// two- or three-letter code ("de"), lower-cased; anything else is refused
// with the reason.
Expected<QString, QString> spokenLanguage(const QString &given);
// The database setting as given: empty (SQLite in the data directory), a
// postgres:// or postgresql:// URL, or libpq's key=value form; anything
// else (a file path, a bare name) is refused with the reason.
Expected<QString, QString> databaseSetting(const QString &given);
// The publicUrl setting: an http(s) URL with a host and perhaps a path, no
// query; returned without a trailing slash.
Expected<QString, QString> publicUrlSetting(const QString &given);

struct ServerConfig
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 54321;
    QString dataDir;                                 // SQLite database, signing secret, recordings
    QString database;                                // a PostgreSQL connection string; empty: SQLite in dataDir
    QByteArray apiKey = "dravelin-local-public-key"; // the public API key clients send as "apikey"
    QString oauthClientId = QStringLiteral("dravelin-desktop");
    QString localUserEmail = QStringLiteral("me@dravelin.localhost"); // prefilled on the consent page
    QString engine = QStringLiteral("auto");                          // "auto", "whisper", "pocketsphinx"
    QString model; // the Whisper model: a name ("base") or a file; empty: the build's default
    // The spoken language when a client does not say: a two-letter code, or
    // "auto" to detect it (multilingual models; English-only ones hear English).
    QString language = QStringLiteral("auto");
    qint64 maxBodyBytes = 64 * 1024 * 1024;
    qint64 accessTokenSeconds = 3600;
    bool retainRecordings = false; // keep dictation recordings the app uploads (dataDir/recordings)
    qint64 liveIdleMs = 30000;     // a live socket silent this long is closed
    // A live socket open this long is closed, however much audio it sent:
    // the ten minutes of audio one dictation may hold, and a margin.
    qint64 liveMaxMs = 11 * 60 * 1000;
    // Uploads that may wait for the speech engine while it works on another;
    // beyond that, uploads are refused with 503 and Retry-After.
    int transcriptionQueue = 8;
    // The address clients reach this server at (e.g. https://dictation.example.org),
    // used in the links it hands out; empty: http://ADDRESS:PORT it listens on.
    QString publicUrl;
    LlmSettings llm;
    CleanupSettings cleanup;
    UpdateSettings updates;
    // Where kept recordings are stored; empty: dataDir/recordings. Several
    // instances share one directory (a shared file system).
    QString recordingsDir;
    QString recordingsPath() const
    {
        return recordingsDir.isEmpty() ? dataDir + QStringLiteral("/recordings") : recordingsDir;
    }
    // A file holding the token-signing key, shared by every instance over one
    // database; empty: dataDir/signing.key, made on first start (SQLite only).
    QString signingKeyFile;
    QByteArray signingSecret; // loaded from signingKeyFile or dataDir

    // $XDG_DATA_HOME/dravelin-server
    static QString defaultDataDir();

    // Reads a JSON config file over the defaults; unknown keys are errors so a
    // typo never passes silently.
    Expected<void, QString> loadFile(const QString &path);
    // Reads the signing secret from dataDir/signing.key, creating it (0600)
    // on first start.
    Expected<void, QString> loadOrCreateSecret();
};

} // namespace dravelin::server
