#include "core/Json.h"

#include <gtest/gtest.h>

using namespace dravelin;

TEST(JsonTest, EncodesInDeclaredOrderAndOmitsAbsentOptionals)
{
    json::Json j;
    j["text"] = QStringLiteral("héllo");
    j["durationMs"] = 1200;
    json::putOptional(j, "appBundleID", std::optional<QString>{});
    json::putOptional(j, "vocabulary", std::optional<QStringList>{QStringList{QStringLiteral("Qt")}});
    j["cleanup_enabled"] = true;
    EXPECT_EQ(json::encode(j),
              QByteArray(R"({"text":"héllo","durationMs":1200,"vocabulary":["Qt"],"cleanup_enabled":true})"));
}

TEST(JsonTest, TolerantReadsTreatMissingNullAndWrongTypesAsAbsent)
{
    const auto j = json::parse(R"({"a":"x","b":null,"c":3,"d":[1],"e":["p","q"],"f":2.5})").value();
    EXPECT_EQ(json::optionalField<QString>(j, "a"), QStringLiteral("x"));
    EXPECT_FALSE(json::optionalField<QString>(j, "b"));
    EXPECT_FALSE(json::optionalField<QString>(j, "c"));
    EXPECT_FALSE(json::optionalField<QString>(j, "missing"));
    EXPECT_EQ(json::optionalField<qint64>(j, "c"), 3);
    EXPECT_FALSE(json::optionalField<qint64>(j, "f")); // 2.5 is not an integer
    EXPECT_EQ(json::optionalField<double>(j, "c"), 3.0);
    EXPECT_FALSE(json::optionalField<QStringList>(j, "d"));
    EXPECT_EQ(json::optionalField<QStringList>(j, "e"), (QStringList{QStringLiteral("p"), QStringLiteral("q")}));
    EXPECT_FALSE(json::optionalField<bool>(json::Json::array(), "a"));
}

TEST(JsonTest, StrictReadsNameTheOffendingKey)
{
    const auto j = json::parse(R"({"keyCode":"49"})").value();
    const auto wrongType = json::requiredField<qint64>(j, "keyCode");
    ASSERT_FALSE(wrongType);
    EXPECT_EQ(wrongType.error().message, QStringLiteral("key \"keyCode\" has the wrong type"));
    const auto missing = json::requiredField<qint64>(j, "modifiers");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, QStringLiteral("missing key \"modifiers\""));
}

TEST(JsonTest, DeepNestingAndHugeObjectsAreRefusedWhileReading)
{
    // 20,000 nested arrays once crashed the server (a recursive copy ran out
    // of stack); 40,000 keys took seconds to build.
    const auto deep = json::parse(QByteArray(20000, '[') + QByteArray(20000, ']'));
    ASSERT_FALSE(deep);
    EXPECT_EQ(deep.error().message, QStringLiteral("JSON refused: nested deeper than 64 levels"));
    QByteArray wide = "{";
    for (int i = 0; i < 40000; ++i)
        wide += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":1";
    wide += "}";
    const auto many = json::parse(wide);
    ASSERT_FALSE(many);
    EXPECT_EQ(many.error().message, QStringLiteral("JSON refused: an object with more than 1000 keys"));
    // Within the limits nothing changes.
    EXPECT_TRUE(json::parse(QByteArray(64, '[') + QByteArray(64, ']')));
    EXPECT_TRUE(json::parse(R"({"a":{"b":[1,{"c":2}]},"d":3})"));
}

TEST(JsonTest, MalformedInputIsAnErrorValue)
{
    // A number beyond a double ("1e999") is reported by the parser as a
    // different kind of exception; it once escaped and ended the process.
    for (const char *bad : {"", "{", "{\"a\":}", "[1,2", "\xff\xfe", "nul", "{\"n\": 66e6600}", "-1e999"}) {
        const auto parsed = json::parse(QByteArray(bad));
        ASSERT_FALSE(parsed) << bad;
        EXPECT_TRUE(parsed.error().message.startsWith(QStringLiteral("malformed JSON"))) << bad;
    }
}
