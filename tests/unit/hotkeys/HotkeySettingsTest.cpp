#include "hotkeys/HotkeySettings.h"
#include "core/UserDefaults.h"
#include "hotkeys/RecordingMode.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

class HotkeySettingsTest : public ::testing::Test
{
protected:
    HotkeySettingsTest() : defaults(dir.filePath(QStringLiteral("settings.json"))) {}
    void store(const char *key, const QByteArray &data) { defaults.set(QString::fromLatin1(key), data); }

    QTemporaryDir dir;
    UserDefaults defaults;
};

const HotkeyBinding kFnAlone{keycode::function, 0};

} // namespace

TEST_F(HotkeySettingsTest, StoredBindingsRoundTrip)
{
    hotkeySettings::store(defaults, HotkeyRole::record, kFnAlone);
    hotkeySettings::store(defaults, HotkeyRole::rewrite, HotkeyBinding{15, modifier::option | modifier::command});
    EXPECT_EQ(defaults.data(QStringLiteral("hotkey.record")), QByteArray(R"({"keyCode":63,"modifiers":0})"));
    const auto b = HotkeyBindings::load(defaults);
    EXPECT_EQ(b.record, kFnAlone); // a bare modifier is fine for record
    EXPECT_EQ(b.rewrite, (HotkeyBinding{15, 0x0900}));

    hotkeySettings::store(defaults, HotkeyRole::rewrite, std::nullopt);
    EXPECT_FALSE(defaults.contains(QStringLiteral("hotkey.rewrite")));
}

TEST_F(HotkeySettingsTest, RefusedBareModifiersKeepTheDefaultAndOnlyPrivatePastesIsDeleted)
{
    store("hotkey.privatePaste", kFnAlone.toJson());
    store("hotkey.rewrite", kFnAlone.toJson());
    store("hotkey.cancel", HotkeyBinding{keycode::rightCommand, 0}.toJson());
    const auto b = HotkeyBindings::load(defaults);
    EXPECT_EQ(b.privatePaste, (HotkeyBinding{9, 0x1100}));
    EXPECT_FALSE(b.rewrite);
    EXPECT_EQ(b.cancel, (HotkeyBinding{53, 0}));
    EXPECT_FALSE(defaults.contains(QStringLiteral("hotkey.privatePaste")));
    EXPECT_TRUE(defaults.contains(QStringLiteral("hotkey.rewrite")));
    EXPECT_TRUE(defaults.contains(QStringLiteral("hotkey.cancel")));
}

TEST_F(HotkeySettingsTest, NothingOrCorruptOrInvalidDataGivesTheDefault)
{
    EXPECT_FALSE(HotkeyBindings::load(defaults).rewrite); // no default for rewrite
    store("hotkey.record", "not json");
    store("hotkey.cancel", R"({"keyCode":65535,"modifiers":256})");
    store("hotkey.privatePaste", HotkeyBinding{keycode::capsLock, 0x0100}.toJson());
    const auto b = HotkeyBindings::load(defaults);
    EXPECT_EQ(b.record, (HotkeyBinding{49, 0x0300}));
    EXPECT_EQ(b.cancel, (HotkeyBinding{53, 0}));
    EXPECT_EQ(b.privatePaste, (HotkeyBinding{9, 0x1100}));
    EXPECT_TRUE(defaults.contains(QStringLiteral("hotkey.privatePaste"))); // only a bare modifier is deleted
}

TEST_F(HotkeySettingsTest, UpdatesAreJudgedByTheLoadRule)
{
    EXPECT_TRUE(hotkeySettings::accepts(HotkeyRole::record, kFnAlone));
    EXPECT_FALSE(hotkeySettings::accepts(HotkeyRole::record, HotkeyBinding{63, 0x0100}));
    for (auto role : {HotkeyRole::privatePaste, HotkeyRole::rewrite, HotkeyRole::cancel}) {
        EXPECT_FALSE(hotkeySettings::accepts(role, kFnAlone));
        EXPECT_TRUE(hotkeySettings::accepts(role, HotkeyBinding{9, 0x1100}));
    }
    EXPECT_EQ(hotkeySettings::rejectionMessage(HotkeyRole::cancel),
              QStringLiteral("Rejected invalid cancel binding (bare modifiers aren't allowed for cancel)"));
}

TEST_F(HotkeySettingsTest, RecordingModeReadsLegacyAndUnknownValues)
{
    const QString key = QStringLiteral("recording.mode");
    EXPECT_EQ(recordingMode::persisted(defaults), RecordingMode::toggle);
    for (const auto &[raw, expected] : std::vector<std::pair<QString, RecordingMode>>{
             {QStringLiteral("toggle"), RecordingMode::toggle},
             {QStringLiteral("holdOrDoubleTap"), RecordingMode::holdOrDoubleTap},
             {QStringLiteral("holdToTalk"), RecordingMode::holdOrDoubleTap},
             {QStringLiteral("doubleTap"), RecordingMode::holdOrDoubleTap},
             {QStringLiteral("push"), RecordingMode::toggle},
             {QStringLiteral("HoldOrDoubleTap"), RecordingMode::toggle}}) {
        defaults.set(key, raw);
        EXPECT_EQ(recordingMode::persisted(defaults), expected) << qPrintable(raw);
    }
    defaults.set(key, true); // not a string at all
    EXPECT_EQ(recordingMode::persisted(defaults), RecordingMode::toggle);
    recordingMode::persist(RecordingMode::holdOrDoubleTap, defaults);
    EXPECT_EQ(defaults.string(key), QStringLiteral("holdOrDoubleTap"));
}
