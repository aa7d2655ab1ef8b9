// The clients and rules behind selection rewrite, transforms and Ask: what
// goes on the wire, how replies and failures read, which pages an answer may
// open, and how transforms are stored and bound to hotkeys.

#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "support/FixedToken.h"
#include "support/ScriptedSender.h"
#include "text/AssistantResponse.h"
#include "text/AssistantService.h"
#include "text/RewriteService.h"
#include "text/TransformService.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using dravelin::test::ScriptedSender;
using namespace std::chrono_literals;

TEST(RewriteServiceTest, SendsTheRequestRetriesALostConnectionOnceAndReadsEveryReply)
{
    VirtualScheduler scheduler;
    FixedToken tokens;
    ScriptedSender sender;
    RewriteService service(QUrl(QStringLiteral("http://backend/functions/v1/rewrite")), tokens, sender, scheduler);
    const auto rewrite = [&](const QString &text, std::optional<QString> prompt = std::nullopt) {
        auto task = service.sendRewrite(text, RewriteStyle::formal, std::move(prompt));
        for (int i = 0; i < 10 && scheduler.runNext(); ++i) {
        }
        return QCoro::waitFor(std::move(task));
    };

    sender.fail(true); // a dropped keep-alive connection
    sender.reply(200, R"({"text":"  Dear Ana,  "})");
    const auto ok = rewrite(QStringLiteral("  hey ana \n"), QStringLiteral("Be formal."));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, QStringLiteral("Dear Ana,"));
    ASSERT_EQ(sender.requests.size(), 2u);
    EXPECT_EQ(sender.requests[0].body, sender.requests[1].body); // the same request, once more
    const auto body = json::parse(sender.requests[0].body);
    ASSERT_TRUE(body);
    const std::vector<std::string> keys{"text", "style", "prompt", "request_id"};
    std::vector<std::string> sentKeys;
    for (const auto &[key, value] : body->items())
        sentKeys.push_back(key);
    EXPECT_EQ(sentKeys, keys);
    EXPECT_EQ((*body)["text"], "hey ana");
    EXPECT_EQ((*body)["style"], "formal");
    EXPECT_EQ(QString::fromStdString((*body)["request_id"].get<std::string>()),
              QString::fromStdString((*body)["request_id"].get<std::string>()).toUpper());
    EXPECT_EQ(sender.requests[0].header("Authorization"), "Bearer token");

    struct Case
    {
        std::function<void()> script;
        RewriteError::Kind kind;
        QString description;
    };
    const std::vector<Case> cases{
        {[&] { sender.reply(200, R"({"text":"   "})"); }, RewriteError::Kind::empty,
         QStringLiteral("Rewrite produced no text")},
        {[&] { sender.reply(200, R"({"txt":"x"})"); }, RewriteError::Kind::decodingFailed, {}},
        {[&] { sender.reply(400, ""); }, RewriteError::Kind::providerFailure, QStringLiteral("Rewrite failed: ")},
        {[&] { sender.reply(502, R"({"error":"the model failed"})"); }, RewriteError::Kind::providerFailure,
         QStringLiteral("Rewrite failed: the model failed")},
        {[&] { sender.reply(401, ""); }, RewriteError::Kind::unauthorized,
         QStringLiteral("Session expired — please sign in again")},
        {[&] { sender.reply(503, "busy"); }, RewriteError::Kind::unexpectedStatus,
         QStringLiteral("Unexpected response (503)")},
        {[&] {
             sender.fail(true);
             sender.fail(true);
         },
         RewriteError::Kind::network, QStringLiteral("Network error: Connection refused")},
        {[&] { sender.fail(false); }, RewriteError::Kind::network, {}},
    };
    for (const Case &c : cases) {
        sender.requests.clear();
        c.script();
        const auto result = rewrite(QStringLiteral("some text"));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, c.kind);
        if (!c.description.isEmpty()) {
            EXPECT_EQ(result.error().description(), c.description);
        }
    }
    // A refused connection is not retried; blank text and no session send nothing.
    EXPECT_EQ(sender.requests.size(), 1u);
    sender.requests.clear();
    EXPECT_EQ(rewrite(QStringLiteral(" \n ")).error().kind, RewriteError::Kind::empty);
    tokens.token.reset();
    EXPECT_EQ(rewrite(QStringLiteral("text")).error().kind, RewriteError::Kind::notAuthenticated);
    EXPECT_TRUE(sender.requests.empty());
}

TEST(AssistantTest, RepliesReadAsAnswersOrActionsWithUnsafeSourcesDropped)
{
    const auto answer = AssistantResponseParser::decode(
        R"J({"kind":"answer","text":" Paris. ","sources":[{"title":" Atlas ","url":"https://atlas.example/fr"},
            {"title":"x","url":"javascript:alert(1)"},{"title":"y","url":"https://me:pw@host.example/"},
            {"title":"z","url":"ftp://files.example/"}]})J");
    ASSERT_TRUE(answer);
    const auto &a = std::get<AssistantAnswer>(*answer);
    EXPECT_EQ(a.text, QStringLiteral("Paris."));
    EXPECT_EQ(a.sources,
              (QList<AssistantSource>{{QStringLiteral("Atlas"), QUrl(QStringLiteral("https://atlas.example/fr"))}}));

    const auto action = AssistantResponseParser::decode(
        R"({"kind":"action","text":"Opening maps","url":"https://www.google.com/maps/search/?api=1&query=Lyon"})");
    ASSERT_TRUE(action);
    EXPECT_EQ(std::get<AssistantAction>(*action).url.host(), QStringLiteral("www.google.com"));

    for (const auto &[body, description] : std::vector<std::pair<QByteArray, QString>>{
             {R"({"kind":"answer","text":"  "})", QStringLiteral("The assistant returned no answer")},
             {R"({"kind":"action","text":"Opening"})", QStringLiteral("Couldn't read the answer: Missing action URL")},
             {R"({"kind":"poem","text":"x"})", QStringLiteral("Couldn't read the answer: Unknown response kind")},
             {"not json", {}},
         }) {
        const auto failed = AssistantResponseParser::decode(body);
        ASSERT_FALSE(failed) << body.constData();
        if (!description.isEmpty()) {
            EXPECT_EQ(failed.error().description(), description);
        }
    }

    EXPECT_EQ(AssistantTranscriptSelector::select(QStringLiteral("   "), QStringLiteral(" raw question "),
                                                  QStringLiteral("on device")),
              QStringLiteral("raw question"));
    EXPECT_FALSE(AssistantTranscriptSelector::select(std::nullopt, QStringLiteral("\n"), std::nullopt));
}

TEST(AssistantTest, ActionsOpenOnlyTheThreeKindsOfSearchOverHttps)
{
    for (const auto &[url, allowed] : std::vector<std::pair<const char *, bool>>{
             {"https://www.youtube.com/results?search_query=lofi", true},
             {"https://m.youtube.com/results?search_query=lofi", true},
             {"https://www.youtube.com/watch?v=abc", false},
             {"https://www.youtube.com/results?search_query=%20", false},
             {"http://www.youtube.com/results?search_query=lofi", false},
             {"https://www.youtube.com:8443/results?search_query=lofi", false},
             {"https://www.amazon.de/s?k=kettle", true},
             {"https://www.amazon.com/dp/B000?k=kettle", false},
             {"https://www.google.com/maps/search/?api=1&query=Lyon", true},
             {"https://www.google.com/maps/search/Lyon", true},
             {"https://google.com/maps?q=Lyon", true},
             {"https://www.google.com/maps?q=%20&query=", false},
             {"https://www.google.com/search?q=Lyon", false},
             {"https://maps.google.com/?q=Lyon", true},
             {"https://maps.google.com/place?q=Lyon", false},
             {"https://user@www.amazon.com/s?k=kettle", false},
             {"https://evil.example/results?search_query=x", false},
         }) {
        EXPECT_EQ(AssistantActionPolicy::allows(QUrl(QString::fromLatin1(url))), allowed) << url;
    }
}

namespace {

class RecordingTransformHotkeys final : public TransformHotkeyRegistering
{
public:
    void registerTransformHotkey(QUuid id, std::optional<HotkeyBinding> binding,
                                 std::function<void(QUuid)> action) override
    {
        bound[id] = binding;
        actions[id] = std::move(action);
    }
    std::map<QUuid, std::optional<HotkeyBinding>> bound;
    std::map<QUuid, std::function<void(QUuid)>> actions;
};

} // namespace

TEST(TransformServiceTest, CatalogueStorageAndHotkeysSurviveARestart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.json"));
    RecordingTransformHotkeys hotkeys;
    QUuid ran;
    QUuid custom;
    {
        UserDefaults defaults(path);
        TransformService service(defaults, hotkeys);
        ASSERT_EQ(service.transforms().size(), 6);
        EXPECT_EQ(service.transforms()[1].id, TransformService::conciseID);
        service.wireUp([&](QUuid id) { ran = id; });
        EXPECT_TRUE(hotkeys.bound.empty()); // no built-in has a hotkey at first

        const HotkeyBinding ctrlAltP{35, 0x0100 | 0x0800};
        service.setHotkey(TransformService::conciseID, ctrlAltP);
        EXPECT_EQ(hotkeys.bound[TransformService::conciseID], ctrlAltP);
        hotkeys.actions[TransformService::conciseID](TransformService::conciseID);
        EXPECT_EQ(ran, TransformService::conciseID);

        custom = service
                     .add(QStringLiteral("Pirate"), QStringLiteral("Arr"), QStringLiteral("Talk like a pirate."),
                          HotkeyBinding{17, 0x0100})
                     .id;
        EXPECT_EQ(service.transforms().size(), 7);
        EXPECT_EQ(hotkeys.bound[custom], (HotkeyBinding{17, 0x0100}));
        service.update(custom, [](Transform &t) { t.name = QStringLiteral("Corsair"); });
        service.remove(TransformService::conciseID); // built-ins stay
        EXPECT_EQ(service.transforms().size(), 7);
    }
    {
        hotkeys.bound.clear();
        UserDefaults defaults(path);
        TransformService service(defaults, hotkeys);
        ASSERT_EQ(service.transforms().size(), 7);
        EXPECT_EQ(service.transforms().back().name, QStringLiteral("Corsair"));
        EXPECT_FALSE(service.transforms().back().isBuiltIn);
        EXPECT_EQ(service.transform(TransformService::conciseID)->hotkey, (HotkeyBinding{35, 0x0100 | 0x0800}));
        service.wireUp([](QUuid) {});
        EXPECT_EQ(hotkeys.bound.size(), 2u);
        service.remove(custom);
        EXPECT_EQ(service.transforms().size(), 6);
        EXPECT_EQ(hotkeys.bound[custom], std::nullopt); // unbound
    }
    {
        // A damaged entry, one posing as a built-in and a repeated id are
        // skipped, the good one kept; a built-in hotkey stored under a key
        // that is not an id is ignored.
        UserDefaults defaults(path);
        const QByteArray good = R"({"id":"6F0F4E5E-3A43-4E09-9C47-1A2B3C4D5E6F","name":"Mine","description":"",
            "prompt":"Do it.","isBuiltIn":false,"glyph":"wand.and.stars"})";
        const QByteArray posing = R"({"id":"11111111-0000-0000-0000-00000000B002","name":"Fake","description":"",
            "prompt":"x","isBuiltIn":false,"glyph":"g"})";
        defaults.set(QString::fromLatin1(TransformService::kCustomKey),
                     "[{\"id\":1}," + good + "," + posing + "," + good + "]");
        defaults.set(QString::fromLatin1(TransformService::kBuiltInHotkeysKey),
                     QByteArray(R"({"nope":{"keyCode":1,"modifiers":0}})"));
        TransformService service(defaults, hotkeys);
        ASSERT_EQ(service.transforms().size(), 7);
        EXPECT_EQ(service.transforms().back().name, QStringLiteral("Mine"));
        EXPECT_EQ(service.transform(TransformService::conciseID)->name, QStringLiteral("Concise"));
        EXPECT_FALSE(service.transform(TransformService::conciseID)->hotkey);
    }
}
