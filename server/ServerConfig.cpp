#include "ServerConfig.h"

#include "auth/Jwt.h"
#include "core/Json.h"
#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

namespace dravelin::server {

namespace {

// A whole-number setting that must lie in [low, high]: the number, or why it
// cannot be used (a wrong type and an out-of-range value are told apart, and
// both name the range).
Expected<qint64, QString> wholeNumber(const json::Json &value, const QString &path, const QString &key, qint64 low,
                                      qint64 high, const char *unit = "")
{
    const QString range =
        QStringLiteral("a whole number from %1 to %2%3").arg(low).arg(high).arg(QString::fromLatin1(unit));
    if (!value.is_number_integer())
        return Unexpected{QStringLiteral("%1: \"%2\" has the wrong type: it takes %3").arg(path, key, range)};
    if (value.is_number_unsigned() && value.get<quint64>() > static_cast<quint64>(INT64_MAX))
        return Unexpected{QStringLiteral("%1: \"%2\" is out of range: it takes %3").arg(path, key, range)};
    const qint64 n = value.get<qint64>();
    if (n < low || n > high)
        return Unexpected{
            QStringLiteral("%1: \"%2\" is %3, out of range: it takes %4").arg(path, key).arg(n).arg(range)};
    return n;
}

// "[json.exception.parse_error.101] parse error at line 3, column 1: syntax
// error …" → "line 3, column 1: syntax error …"; other messages as they are.
QString syntaxError(const QString &message)
{
    static const QRegularExpression where(QStringLiteral("line (\\d+), column (\\d+): (.*)$"));
    const auto match = where.match(message);
    return match.hasMatch()
               ? QStringLiteral("line %1, column %2: %3").arg(match.captured(1), match.captured(2), match.captured(3))
               : message;
}

Expected<void, QString> loadLlm(const json::Json &value, LlmSettings &llm, const QString &path)
{
    if (!value.is_object())
        return Unexpected{QStringLiteral("%1: \"llm\" must be an object").arg(path)};
    for (const auto &[key, item] : value.items()) {
        const QString k = QString::fromStdString(key);
        const auto wrongType = [&] {
            return Unexpected{QStringLiteral("%1: \"llm.%2\" has the wrong type").arg(path, k)};
        };
        if (k == u"provider") {
            const auto provider = item.is_string() ? QString::fromStdString(item.get<std::string>()) : QString();
            if (!QStringList{QStringLiteral("auto"), QStringLiteral("local"), QStringLiteral("openai"),
                             QStringLiteral("none")}
                     .contains(provider))
                return Unexpected{QStringLiteral("%1: \"llm.provider\" must be auto, local, openai or none").arg(path)};
            llm.provider = provider;
        } else if (k == u"model" || k == u"baseUrl" || k == u"apiKey") {
            if (!item.is_string())
                return wrongType();
            const QString text = QString::fromStdString(item.get<std::string>());
            if (k == u"model")
                llm.model = text;
            else if (k == u"baseUrl")
                llm.baseUrl = text;
            else
                llm.apiKey = text.toUtf8();
        } else if (k == u"stream") {
            if (!item.is_boolean())
                return wrongType();
            llm.stream = item.get<bool>();
        } else if (k == u"timeLimitMs" || k == u"threads") {
            const auto n = k == u"threads" ? wholeNumber(item, path, QStringLiteral("llm.threads"), 1, 64)
                                           : wholeNumber(item, path, QStringLiteral("llm.timeLimitMs"), 1, 3600000,
                                                         " (milliseconds)");
            if (!n)
                return Unexpected{n.error()};
            if (k == u"threads")
                llm.threads = static_cast<int>(*n);
            else
                llm.timeLimitMs = *n;
        } else {
            return Unexpected{QStringLiteral("%1: unknown setting \"llm.%2\"").arg(path, k)};
        }
    }
    return {};
}

Expected<void, QString> loadCleanup(const json::Json &value, CleanupSettings &cleanup, const QString &path)
{
    if (!value.is_object())
        return Unexpected{QStringLiteral("%1: \"cleanup\" must be an object").arg(path)};
    for (const auto &[key, item] : value.items()) {
        const QString k = QString::fromStdString(key);
        if (k == u"mode") {
            const auto mode = item.is_string() ? QString::fromStdString(item.get<std::string>()) : QString();
            if (mode != u"rules" && mode != u"model")
                return Unexpected{QStringLiteral("%1: \"cleanup.mode\" must be rules or model").arg(path)};
            cleanup.mode = mode;
        } else if (k == u"timeLimitMs") {
            const auto n = wholeNumber(item, path, QStringLiteral("cleanup.timeLimitMs"), 1, 600000, " (milliseconds)");
            if (!n)
                return Unexpected{n.error()};
            cleanup.timeLimitMs = *n;
        } else {
            return Unexpected{QStringLiteral("%1: unknown setting \"cleanup.%2\"").arg(path, k)};
        }
    }
    return {};
}

Expected<void, QString> loadUpdates(const json::Json &value, UpdateSettings &updates, const QString &path)
{
    if (!value.is_object())
        return Unexpected{QStringLiteral("%1: \"updates\" must be an object").arg(path)};
    for (const auto &[key, item] : value.items()) {
        const QString k = QString::fromStdString(key);
        if (k != u"feedFile")
            return Unexpected{QStringLiteral("%1: unknown setting \"updates.%2\"").arg(path, k)};
        if (!item.is_string())
            return Unexpected{QStringLiteral("%1: \"updates.feedFile\" has the wrong type").arg(path)};
        updates.feedFile = QString::fromStdString(item.get<std::string>());
    }
    return {};
}

} // namespace

QString ServerConfig::defaultDataDir()
{
    return paths::dataHome() + QStringLiteral("/dravelin-server");
}

Expected<void, QString> ServerConfig::loadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Unexpected{QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    auto parsed = json::parse(file.readAll());
    if (!parsed)
        return Unexpected{QStringLiteral("%1 is not valid JSON: %2").arg(path, syntaxError(parsed.error().message))};
    if (!parsed->is_object())
        return Unexpected{QStringLiteral("%1 is not a JSON object: settings go in {\"key\": value, …}").arg(path)};
    for (const auto &[key, value] : parsed->items()) {
        const QString k = QString::fromStdString(key);
        auto wrongType = [&] { return Unexpected{QStringLiteral("%1: \"%2\" has the wrong type").arg(path, k)}; };
        if (k == u"address") {
            if (!value.is_string() || !address.setAddress(QString::fromStdString(value.get<std::string>())))
                return wrongType();
        } else if (k == u"port") {
            const auto n = wholeNumber(value, path, k, 0, 65535, " (0 picks a free port)");
            if (!n)
                return Unexpected{n.error()};
            port = static_cast<quint16>(*n);
        } else if (k == u"dataDir" && value.is_string()) {
            dataDir = QString::fromStdString(value.get<std::string>());
        } else if (k == u"database" && value.is_string()) {
            const auto given = databaseSetting(QString::fromStdString(value.get<std::string>()));
            if (!given)
                return Unexpected{QStringLiteral("%1: \"database\" %2").arg(path, given.error())};
            database = *given;
        } else if (k == u"recordingsDir" && value.is_string()) {
            recordingsDir = QString::fromStdString(value.get<std::string>());
        } else if (k == u"signingKeyFile" && value.is_string()) {
            signingKeyFile = QString::fromStdString(value.get<std::string>());
        } else if (k == u"apiKey" && value.is_string()) {
            apiKey = QByteArray::fromStdString(value.get<std::string>());
        } else if (k == u"oauthClientId" && value.is_string()) {
            oauthClientId = QString::fromStdString(value.get<std::string>());
        } else if (k == u"localUserEmail" && value.is_string()) {
            localUserEmail = QString::fromStdString(value.get<std::string>());
        } else if (k == u"engine" && value.is_string()) {
            engine = QString::fromStdString(value.get<std::string>());
        } else if (k == u"model" && value.is_string()) {
            model = QString::fromStdString(value.get<std::string>());
        } else if (k == u"language" && value.is_string()) {
            const auto given = spokenLanguage(QString::fromStdString(value.get<std::string>()));
            if (!given)
                return Unexpected{QStringLiteral("%1: \"language\" %2").arg(path, given.error())};
            language = *given;
        } else if (k == u"maxBodyBytes") {
            const auto n = wholeNumber(value, path, k, 1024, qint64(1) << 30, " (bytes)");
            if (!n)
                return Unexpected{n.error()};
            maxBodyBytes = *n;
        } else if (k == u"accessTokenSeconds") {
            const auto n = wholeNumber(value, path, k, 60, 7 * 24 * 3600, " (seconds)");
            if (!n)
                return Unexpected{n.error()};
            accessTokenSeconds = *n;
        } else if (k == u"retainRecordings" && value.is_boolean()) {
            retainRecordings = value.get<bool>();
        } else if (k == u"liveIdleMs") {
            const auto n = wholeNumber(value, path, k, 100, 3600000, " (milliseconds)");
            if (!n)
                return Unexpected{n.error()};
            liveIdleMs = *n;
        } else if (k == u"liveMaxMs") {
            const auto n = wholeNumber(value, path, k, 1000, 24 * 3600000, " (milliseconds)");
            if (!n)
                return Unexpected{n.error()};
            liveMaxMs = *n;
        } else if (k == u"transcriptionQueue") {
            const auto n = wholeNumber(value, path, k, 0, 1000, " (uploads)");
            if (!n)
                return Unexpected{n.error()};
            transcriptionQueue = static_cast<int>(*n);
        } else if (k == u"publicUrl") {
            const auto given = publicUrlSetting(value.is_string() ? QString::fromStdString(value.get<std::string>())
                                                                  : QStringLiteral("(not a string)"));
            if (!given)
                return Unexpected{QStringLiteral("%1: \"publicUrl\" %2").arg(path, given.error())};
            publicUrl = *given;
        } else if (k == u"llm") {
            if (auto loaded = loadLlm(value, llm, path); !loaded)
                return loaded;
        } else if (k == u"cleanup") {
            if (auto loaded = loadCleanup(value, cleanup, path); !loaded)
                return loaded;
        } else if (k == u"updates") {
            if (auto loaded = loadUpdates(value, updates, path); !loaded)
                return loaded;
        } else if (k == u"dataDir" || k == u"database" || k == u"signingKeyFile" || k == u"recordingsDir" ||
                   k == u"apiKey" || k == u"oauthClientId" || k == u"localUserEmail" || k == u"engine" ||
                   k == u"model" || k == u"language" || k == u"retainRecordings") {
            return wrongType();
        } else {
            return Unexpected{QStringLiteral("%1: unknown setting \"%2\"").arg(path, k)};
        }
    }
    return {};
}

Expected<QString, QString> spokenLanguage(const QString &given)
{
    static const QRegularExpression code(QStringLiteral("^(auto|[a-z]{2,3})$"));
    const QString language = given.trimmed().toLower();
    if (!code.match(language).hasMatch())
        return Unexpected{QStringLiteral("must be \"auto\" or a language code such as \"de\"")};
    return language;
}

Expected<QString, QString> publicUrlSetting(const QString &given)
{
    const QUrl url(given.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") || url.host().isEmpty() ||
        url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return Unexpected{QStringLiteral("must be an http:// or https:// URL such as https://dictation.example.org")};
    QString text = url.toString(QUrl::FullyEncoded);
    while (text.endsWith(u'/'))
        text.chop(1);
    return text;
}

Expected<QString, QString> databaseSetting(const QString &given)
{
    const QString database = given.trimmed();
    if (database.isEmpty() || database.startsWith(u"postgres://") || database.startsWith(u"postgresql://") ||
        database.contains(u'='))
        return database;
    return Unexpected{QStringLiteral("must be a postgres:// URL or a key=value connection string (leave it out for "
                                     "SQLite in the data directory)")};
}

Expected<void, QString> ServerConfig::loadOrCreateSecret()
{
    if (!signingKeyFile.isEmpty()) {
        // Given: every instance of a team's server reads the same key, so a
        // token one signs is good at all of them. Never created here.
        QFile given(signingKeyFile);
        if (!given.open(QIODevice::ReadOnly))
            return Unexpected{
                QStringLiteral("cannot read the signing key %1: %2").arg(signingKeyFile, given.errorString())};
        signingSecret = given.readAll().trimmed();
        if (signingSecret.size() < 32)
            return Unexpected{
                QStringLiteral("%1 is too short to be a signing key (at least 32 characters)").arg(signingKeyFile)};
        return {};
    }
    if (!database.isEmpty()) {
        // A key made up here would be this instance's alone: tokens it signs
        // would fail at every other instance sharing the database.
        return Unexpected{QStringLiteral("a shared database needs a shared signing key: set \"signingKeyFile\" to a "
                                         "file of at least 32 random characters that every instance can read (e.g. "
                                         "`openssl rand -base64 48 > signing.key`)")};
    }
    if (!QDir().mkpath(dataDir))
        return Unexpected{QStringLiteral("cannot create the data directory %1").arg(dataDir)};
    QFile::setPermissions(dataDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString path = dataDir + QStringLiteral("/signing.key");
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        signingSecret = existing.readAll().trimmed();
        if (signingSecret.size() < 32)
            return Unexpected{QStringLiteral("%1 is too short to be a signing secret").arg(path)};
        return {};
    }
    signingSecret = randomToken(48);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Unexpected{QStringLiteral("cannot create %1: %2").arg(path, file.errorString())};
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(signingSecret + '\n');
    if (!file.commit())
        return Unexpected{QStringLiteral("cannot write %1: %2").arg(path, file.errorString())};
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return {};
}

} // namespace dravelin::server
