#include "hotkeys/HotkeyService.h"

#include "core/UserDefaults.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace dravelin;

namespace {

// The desktop's grabs as a table; refuses the ids it is told to.
class FakeGrabber final : public GlobalHotkeyGrabber
{
public:
    bool isAvailable() const override { return true; }
    GrabStatus grab(quint32 id, quint16 keyCode, quint32 modifiers) override
    {
        if (refused.count(id))
            return GrabStatus::taken;
        grabs[id] = HotkeyBinding{keyCode, modifiers};
        return GrabStatus::ok;
    }
    void ungrab(quint32 id) override { grabs.erase(id); }
    void press(quint32 id, bool down = true) { onHotkey(id, down); }

    std::map<quint32, HotkeyBinding> grabs;
    std::set<quint32> refused;
};

class FakeRawKeys final : public RawKeyEvents
{
public:
    bool isAvailable() const override { return true; }
    bool start() override { return running = true; }
    void stop() override { running = false; }
    bool isRunning() const override { return running; }
    void key(quint16 code, bool down) { onKey(code, down); }
    bool running = false;
};

class HotkeyServiceTest : public ::testing::Test
{
protected:
    HotkeyServiceTest() : defaults(dir.filePath(QStringLiteral("settings.json"))) {}

    std::unique_ptr<HotkeyService> makeService()
    {
        auto service = std::make_unique<HotkeyService>(defaults, grabber, raw, nullptr);
        HotkeyCallbacks &c = service->callbacks();
        c.onToggleRecord = [this] { calls.push_back("record"); };
        c.onToggleRecordReleased = [this] { calls.push_back("record-up"); };
        c.onPrivatePaste = [this] { calls.push_back("paste"); };
        c.onCancelRecord = [this] { calls.push_back("cancel"); };
        c.onRewriteSelection = [this] { calls.push_back("rewrite"); };
        c.onBeginAsk = [this] { calls.push_back("ask"); };
        c.onSubmitAsk = [this] { calls.push_back("submit"); };
        return service;
    }

    QTemporaryDir dir;
    UserDefaults defaults;
    FakeGrabber grabber;
    FakeRawKeys raw;
    std::vector<std::string> calls;
    test::LogCapture logs;
};

constexpr quint32 kRecord = 1, kPaste = 2, kCancel = 3, kRewrite = 4;

} // namespace

TEST_F(HotkeyServiceTest, GrabsTheBindingsAndRoutesPressesAndReleases)
{
    auto service = makeService();
    service->registerHotkeys();
    EXPECT_EQ(grabber.grabs.at(kRecord), (HotkeyBinding{keycode::space, 0x0300}));
    EXPECT_EQ(grabber.grabs.at(kPaste), (HotkeyBinding{keycode::v, 0x1100}));
    EXPECT_FALSE(grabber.grabs.count(kCancel)) << "Escape stays free outside a capture";
    EXPECT_FALSE(grabber.grabs.count(kRewrite));
    EXPECT_TRUE(raw.running) << "the Fn-role gestures are always watched";

    grabber.press(kRecord);
    grabber.press(kRecord, false);
    grabber.press(kPaste);
    grabber.press(kPaste, false); // a release of private paste does nothing
    grabber.press(77);
    EXPECT_EQ(calls, (std::vector<std::string>{"record", "record-up", "paste"}));
    EXPECT_TRUE(logs.has(QStringLiteral("hotkey"), QStringLiteral("Unknown hotkey id received: 77")));

    // The cancel hotkey exists only during a capture, and survives re-registration.
    service->registerCancelHotkey();
    EXPECT_EQ(grabber.grabs.at(kCancel), (HotkeyBinding{keycode::escape, 0}));
    service->reregister();
    EXPECT_TRUE(grabber.grabs.count(kCancel));
    grabber.press(kCancel);
    EXPECT_EQ(calls.back(), "cancel");
    service->unregisterCancelHotkey();
    EXPECT_FALSE(grabber.grabs.count(kCancel));

    // A shortcut recorder on screen: grabs released, record ignored, then back.
    service->setKeyCaptureActive(true);
    EXPECT_FALSE(grabber.grabs.count(kRecord));
    service->dispatch(kRecord, true);
    EXPECT_EQ(calls.back(), "cancel");
    service->setKeyCaptureActive(false);
    EXPECT_TRUE(grabber.grabs.count(kRecord));
}

TEST_F(HotkeyServiceTest, ATakenShortcutIsReportedAndTheOthersKeepWorking)
{
    grabber.refused.insert(kRecord);
    auto service = makeService();
    service->registerHotkeys();
    EXPECT_EQ(service->problem(HotkeyRole::record), GlobalHotkeyGrabber::GrabStatus::taken);
    EXPECT_FALSE(service->problem(HotkeyRole::privatePaste));
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("hotkey"), QStringLiteral("RegisterEventHotKey failed for id=1")));
    grabber.press(kPaste);
    EXPECT_EQ(calls, (std::vector<std::string>{"paste"}));

    // Choosing another combination clears the problem.
    grabber.refused.clear();
    ASSERT_TRUE(service->updateBinding(HotkeyRole::record, HotkeyBinding{keycode::space, 0x0800}));
    EXPECT_FALSE(service->problem(HotkeyRole::record));
    EXPECT_EQ(grabber.grabs.at(kRecord), (HotkeyBinding{keycode::space, 0x0800}));
}

TEST_F(HotkeyServiceTest, UpdatesAreValidatedStoredAndApplied)
{
    auto service = makeService();
    service->registerHotkeys();

    EXPECT_FALSE(service->updateBinding(HotkeyRole::privatePaste, HotkeyBinding{keycode::rightOption, 0}));
    EXPECT_TRUE(logs.has(QStringLiteral("hotkey"), hotkeySettings::rejectionMessage(HotkeyRole::privatePaste)));
    EXPECT_EQ(grabber.grabs.at(kPaste), (HotkeyBinding{keycode::v, 0x1100}));

    ASSERT_TRUE(service->updateBinding(HotkeyRole::rewrite, HotkeyBinding{15, 0x0900}));
    EXPECT_EQ(grabber.grabs.at(kRewrite), (HotkeyBinding{15, 0x0900}));
    grabber.press(kRewrite);
    EXPECT_EQ(calls.back(), "rewrite");
    ASSERT_TRUE(service->updateBinding(HotkeyRole::rewrite, std::nullopt));
    EXPECT_FALSE(grabber.grabs.count(kRewrite));
    EXPECT_FALSE(defaults.contains(QStringLiteral("hotkey.rewrite")));

    // A new service reads what was stored.
    ASSERT_TRUE(service->updateBinding(HotkeyRole::cancel, HotkeyBinding{keycode::escape, 0x0100}));
    service.reset();
    auto reloaded = makeService();
    EXPECT_EQ(reloaded->bindings().cancel, (HotkeyBinding{keycode::escape, 0x0100}));
}

TEST_F(HotkeyServiceTest, AModifierAloneIsWatchedThroughRawKeys)
{
    auto service = makeService();
    service->registerHotkeys();
    ASSERT_TRUE(service->updateBinding(HotkeyRole::record, HotkeyBinding{keycode::rightOption, 0}));
    EXPECT_FALSE(grabber.grabs.count(kRecord)) << "nothing to grab for a modifier alone";

    raw.key(keycode::option, true); // left and right keys of a modifier are one
    raw.key(keycode::rightOption, true);
    raw.key(keycode::shift, true); // another modifier reports nothing
    raw.key(keycode::shift, false);
    raw.key(keycode::option, false);
    raw.key(keycode::rightOption, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"record", "record-up"}));
}

TEST_F(HotkeyServiceTest, TheFnRoleKeyDrivesRecordAndAsk)
{
    // Fn alone as the record key: the Fn-role key (Right Ctrl by default).
    auto service = makeService();
    ASSERT_TRUE(service->updateBinding(HotkeyRole::record, HotkeyBinding{keycode::function, 0}));
    service->registerHotkeys();
    EXPECT_TRUE(service->recordIsBareFn());
    const quint16 fn = HotkeyService::kDefaultFnKey;
    raw.key(fn, true);
    raw.key(fn, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"record", "record-up"}));

    // Fn+Space begins an Ask; its own release is absorbed; a tap submits.
    calls.clear();
    raw.key(fn, true);
    raw.key(keycode::space, true);
    raw.key(keycode::space, false);
    raw.key(fn, false);
    raw.key(fn, true);
    raw.key(fn, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"record", "ask", "submit"}));

    // Another key as the Fn role.
    calls.clear();
    defaults.set(QString::fromLatin1(HotkeyService::kFnKeyKey), qint64{keycode::rightControl});
    raw.key(keycode::rightControl, true);
    raw.key(keycode::rightControl, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"record", "record-up"}));
}

TEST_F(HotkeyServiceTest, TransformsKeepTheirWireIDs)
{
    auto service = makeService();
    service->registerHotkeys();
    const QUuid first = QUuid::createUuid(), second = QUuid::createUuid();
    std::vector<QUuid> fired;
    const auto action = [&fired](QUuid id) { fired.push_back(id); };
    service->registerTransformHotkey(first, HotkeyBinding{17, 0x0800}, action);
    service->registerTransformHotkey(second, HotkeyBinding{keycode::rightOption, 0}, action); // rejected
    EXPECT_EQ(service->transformWireID(first), HotkeyService::kFirstTransformWireID);
    EXPECT_EQ(service->transformWireID(second), HotkeyService::kFirstTransformWireID + 1);
    EXPECT_FALSE(grabber.grabs.count(HotkeyService::kFirstTransformWireID + 1));

    service->registerTransformHotkey(first, HotkeyBinding{16, 0x0800}, action);
    EXPECT_EQ(service->transformWireID(first), HotkeyService::kFirstTransformWireID);
    EXPECT_EQ(grabber.grabs.at(HotkeyService::kFirstTransformWireID), (HotkeyBinding{16, 0x0800}));
    grabber.press(HotkeyService::kFirstTransformWireID);
    EXPECT_EQ(fired, (std::vector<QUuid>{first}));

    service->registerTransformHotkey(first, std::nullopt, action);
    EXPECT_FALSE(grabber.grabs.count(HotkeyService::kFirstTransformWireID));
    EXPECT_EQ(service->transformWireID(first), HotkeyService::kFirstTransformWireID) << "the id stays reserved";
}
