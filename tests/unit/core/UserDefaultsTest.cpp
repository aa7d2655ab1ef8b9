#include "core/UserDefaults.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

class UserDefaultsTest : public ::testing::Test
{
protected:
    QString path() const { return dir.filePath(QStringLiteral("nested/settings.json")); }
    QTemporaryDir dir;
    dravelin::test::LogCapture logs;
};

} // namespace

TEST_F(UserDefaultsTest, EveryTypeSurvivesAReload)
{
    {
        UserDefaults d(path());
        d.set(QStringLiteral("cleanup.enabled"), false);
        d.set(QStringLiteral("count"), qint64(42));
        d.set(QStringLiteral("ratio"), 2.0);
        d.set(QStringLiteral("recording.mode"), QStringLiteral("holdOrDoubleTap"));
        d.set(QStringLiteral("vocabulary.keyterms.active"), QStringList{QStringLiteral("Qt"), QStringLiteral("")});
        d.set(QStringLiteral("hotkey.record"), QByteArray("{\"keyCode\":49}\0\xff", 16));
        d.set(QStringLiteral("empty.list"), QStringList{});
    }
    UserDefaults d(path());
    EXPECT_FALSE(d.boolValue(QStringLiteral("cleanup.enabled"), true));
    EXPECT_EQ(d.integer(QStringLiteral("count")), 42);
    EXPECT_EQ(d.value(QStringLiteral("ratio")), DefaultsValue(2.0)); // still a double, not an integer
    EXPECT_EQ(d.string(QStringLiteral("recording.mode")), QStringLiteral("holdOrDoubleTap"));
    EXPECT_EQ(d.stringArray(QStringLiteral("vocabulary.keyterms.active")),
              (QStringList{QStringLiteral("Qt"), QStringLiteral("")}));
    EXPECT_EQ(d.data(QStringLiteral("hotkey.record")), QByteArray("{\"keyCode\":49}\0\xff", 16));
    EXPECT_EQ(d.stringArray(QStringLiteral("empty.list")), QStringList{});
}

TEST_F(UserDefaultsTest, RegisteredDefaultsFillGapsButAreNeverWritten)
{
    UserDefaults d(path());
    d.registerDefaults(
        {{QStringLiteral("sounds.enabled"), true}, {QStringLiteral("theme.mode"), QStringLiteral("light")}});
    EXPECT_TRUE(d.boolValue(QStringLiteral("sounds.enabled")));
    EXPECT_FALSE(d.contains(QStringLiteral("sounds.enabled")));
    EXPECT_FALSE(QFile::exists(path()));
    d.set(QStringLiteral("sounds.enabled"), false);
    EXPECT_FALSE(d.boolValue(QStringLiteral("sounds.enabled")));
    d.remove(QStringLiteral("sounds.enabled"));
    EXPECT_TRUE(d.boolValue(QStringLiteral("sounds.enabled"))); // back to the registered default
}

TEST_F(UserDefaultsTest, AValueOfAnotherTypeReadsAsAbsent)
{
    UserDefaults d(path());
    d.set(QStringLiteral("k"), QStringLiteral("yes"));
    EXPECT_TRUE(d.boolValue(QStringLiteral("k"), true));
    EXPECT_FALSE(d.data(QStringLiteral("k")));
    EXPECT_FALSE(d.stringArray(QStringLiteral("k")));
    EXPECT_EQ(d.integer(QStringLiteral("k"), 7), 7);
}

TEST_F(UserDefaultsTest, ChangeSignalFiresOncePerRealChange)
{
    UserDefaults d(path());
    QSignalSpy spy(&d, &UserDefaults::changed);
    d.set(QStringLiteral("a"), true);
    d.set(QStringLiteral("a"), true); // same value: no change
    d.remove(QStringLiteral("a"));
    d.remove(QStringLiteral("a")); // nothing to remove
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("a"));
}

TEST_F(UserDefaultsTest, BrokenFilesAreKeptAsideEachTimeAndWrongTypesAreNamed)
{
    QDir().mkpath(QFileInfo(path()).absolutePath());
    const auto writeSettings = [this](const QByteArray &bytes) {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    writeSettings("{\"recording.mode\": \"tog");
    UserDefaults d(path());
    EXPECT_FALSE(d.string(QStringLiteral("recording.mode")));
    ASSERT_TRUE(d.setAside());
    EXPECT_TRUE(QFile::exists(d.setAside()->path));
    EXPECT_TRUE(d.setAside()->reason.contains(QStringLiteral("parse error"))) << qPrintable(d.setAside()->reason);
    d.set(QStringLiteral("recording.mode"), QStringLiteral("toggle"));
    EXPECT_EQ(UserDefaults(path()).string(QStringLiteral("recording.mode")), QStringLiteral("toggle"));

    // A second broken file does not replace the first one set aside.
    writeSettings("[1, 2");
    const UserDefaults again(path());
    ASSERT_TRUE(again.setAside());
    EXPECT_NE(again.setAside()->path, d.setAside()->path);
    EXPECT_TRUE(QFile::exists(d.setAside()->path));

    // "no" where true/false belongs: the default, and one log line naming the key.
    writeSettings(R"({"stt.preferCloud": "no"})");
    const UserDefaults typed(path());
    EXPECT_TRUE(typed.boolValue(QStringLiteral("stt.preferCloud"), true));
    EXPECT_TRUE(typed.boolValue(QStringLiteral("stt.preferCloud"), true));
    EXPECT_EQ(logs.messages(QStringLiteral("app"))
                  .count(QStringLiteral("Settings: \"stt.preferCloud\" should be true or false — using the default")),
              1);
    // The same for numbers and data values.
    writeSettings(R"({"indicator.scale": "big", "hotkey.record": "ctrl+space"})");
    const UserDefaults others(path());
    EXPECT_EQ(others.doubleValue(QStringLiteral("indicator.scale"), 1.5), 1.5);
    EXPECT_FALSE(others.data(QStringLiteral("hotkey.record")));
    EXPECT_TRUE(logs.has(QStringLiteral("app"),
                         QStringLiteral("Settings: \"indicator.scale\" should be a number — using the default")));
    EXPECT_TRUE(logs.has(QStringLiteral("app"), QStringLiteral("Settings: \"hotkey.record\" should be {\"data\": "
                                                               "\"<base64>\"} — using the default")));
}

TEST_F(UserDefaultsTest, UnwritableLocationKeepsTheValueInMemoryAndReportsIt)
{
    const QString blocked = dir.filePath(QStringLiteral("file-not-dir"));
    QFile f(blocked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    UserDefaults d(blocked + QStringLiteral("/settings.json"));
    d.set(QStringLiteral("a"), qint64(1));
    EXPECT_FALSE(d.lastWriteSucceeded());
    EXPECT_EQ(d.integer(QStringLiteral("a")), 1);
}
