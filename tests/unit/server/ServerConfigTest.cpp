#include "ServerConfig.h"
#include "support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin::server;

namespace {

// Loads `text` as a config file; the error, or empty when it loaded.
QString loadError(const QByteArray &text, ServerConfig *loaded = nullptr)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("server.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return QStringLiteral("could not write the test file");
    file.close();
    ServerConfig config;
    const auto result = config.loadFile(path);
    if (loaded)
        *loaded = config;
    return result ? QString() : result.error().section(QStringLiteral("server.json"), 1);
}

} // namespace

TEST(ServerConfigTest, NumbersOutOfRangeAreRefusedWithTheRange)
{
    struct Case
    {
        QByteArray text;
        const char *error;
    };
    for (const Case &c : std::vector<Case>{
             {R"({"port": 99999})",
              R"(: "port" is 99999, out of range: it takes a whole number from 0 to 65535 (0 picks a free port))"},
             {R"({"port": "54321"})",
              R"(: "port" has the wrong type: it takes a whole number from 0 to 65535 (0 picks a free port))"},
             {R"({"liveIdleMs": 0})",
              R"(: "liveIdleMs" is 0, out of range: it takes a whole number from 100 to 3600000 (milliseconds))"},
             {R"({"maxBodyBytes": -5})",
              R"(: "maxBodyBytes" is -5, out of range: it takes a whole number from 1024 to 1073741824 (bytes))"},
             {R"({"accessTokenSeconds": 0})",
              R"(: "accessTokenSeconds" is 0, out of range: it takes a whole number from 60 to 604800 (seconds))"},
             {R"({"maxBodyBytes": 18446744073709551615})",
              R"(: "maxBodyBytes" is out of range: it takes a whole number from 1024 to 1073741824 (bytes))"},
             {R"({"llm": {"threads": 0}})",
              R"(: "llm.threads" is 0, out of range: it takes a whole number from 1 to 64)"},
             {R"({"cleanup": {"timeLimitMs": 2.5}})",
              R"(: "cleanup.timeLimitMs" has the wrong type: it takes a whole number from 1 to 600000 (milliseconds))"},
             {R"({"transcriptionQueue": -1})",
              R"(: "transcriptionQueue" is -1, out of range: it takes a whole number from 0 to 1000 (uploads))"},
             {R"({"publicUrl": "dictation.example.org"})",
              R"(: "publicUrl" must be an http:// or https:// URL such as https://dictation.example.org)"},
             {R"({"publicUrl": "https://dictation.example.org/?x=1"})",
              R"(: "publicUrl" must be an http:// or https:// URL such as https://dictation.example.org)"},
         }) {
        EXPECT_EQ(loadError(c.text), QString::fromUtf8(c.error)) << c.text.constData();
    }
    ServerConfig config;
    ASSERT_EQ(loadError(R"({"port": 0, "maxBodyBytes": 1024, "accessTokenSeconds": 60, "liveIdleMs": 100,
                            "transcriptionQueue": 0, "publicUrl": "https://example.org/dravelin/"})",
                        &config),
              QString());
    EXPECT_EQ(config.transcriptionQueue, 0);
    EXPECT_EQ(config.publicUrl, QStringLiteral("https://example.org/dravelin"));
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.maxBodyBytes, 1024);
    EXPECT_EQ(config.accessTokenSeconds, 60);
    EXPECT_EQ(config.liveIdleMs, 100);
}

TEST(ServerConfigTest, ASyntaxErrorNamesItsLineAndColumn)
{
    const QString error = loadError("{\n  \"port\": 8080\n  \"engine\": \"whisper\"\n}\n");
    EXPECT_TRUE(error.startsWith(QStringLiteral(" is not valid JSON: line 3, column 10: syntax error")))
        << qPrintable(error);
    EXPECT_FALSE(error.contains(u'[')) << qPrintable(error); // no parser-internal prefix
    EXPECT_EQ(loadError("[1, 2]"), QStringLiteral(" is not a JSON object: settings go in {\"key\": value, …}"));
}

// Instances over one database must sign with one key: none is ever made up
// for a shared database, and a given one must be long enough.
TEST(ServerConfigTest, ASharedDatabaseTakesOnlyAGivenSigningKey)
{
    QTemporaryDir dir;
    ServerConfig config;
    config.dataDir = dir.filePath(QStringLiteral("data"));
    config.database = QStringLiteral("postgres://dravelin@db.example.org/dravelin");
    const auto refused = config.loadOrCreateSecret();
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().contains(QStringLiteral("\"signingKeyFile\""))) << qPrintable(refused.error());
    EXPECT_FALSE(QFile::exists(config.dataDir + QStringLiteral("/signing.key")));

    config.signingKeyFile = dir.filePath(QStringLiteral("shared.key"));
    QFile key(config.signingKeyFile);
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write("too short\n");
    key.close();
    EXPECT_FALSE(config.loadOrCreateSecret());
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write(QByteArray(44, 'k') + '\n');
    key.close();
    ASSERT_TRUE(config.loadOrCreateSecret());
    EXPECT_EQ(config.signingSecret, QByteArray(44, 'k'));
}
