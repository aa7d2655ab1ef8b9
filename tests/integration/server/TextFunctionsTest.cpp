// Rewrite and Ask over real HTTP, with the language model behind an
// OpenAI-compatible endpoint that a test scripts (itself a real HTTP server
// on loopback): what the model is asked, how its answers are read, the
// refusals, and a client hanging up mid-generation.

#include "account/NetworkRequestSender.h"
#include "http/HttpServer.h"
#include "llm/OpenAiChatModel.h"
#include "storage/Storage.h"
#include "support/FixedToken.h"
#include "support/ScriptedModelEndpoint.h"
#include "support/TwoUserServer.h"
#include "text/AssistantResponse.h"
#include "text/AssistantService.h"
#include "text/RewriteService.h"

#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <deque>

using namespace dravelin;
using namespace dravelin::server;
using dravelin::test::FixedToken;
using dravelin::test::HttpResult;
using dravelin::test::jsonOf;
using dravelin::test::ScriptedModelEndpoint;
using namespace std::chrono_literals;

namespace {

class ModelEndpointTest : public ::testing::Test
{
protected:
    QCoro::Task<Expected<Generation, GenerationFailure>> ask(OpenAiChatModel &model, Millis limit = Millis(5000))
    {
        GenerationRequest request;
        request.messages = {{QStringLiteral("user"), QStringLiteral("hi")}};
        request.timeLimit = limit;
        return model.generate(std::move(request));
    }

    QtScheduler scheduler;
    ScriptedModelEndpoint endpoint{scheduler};
};

class TextFunctionsTest : public test::TwoUserServerTest
{
protected:
    void configure(ServerConfig &config) override
    {
        config.llm.provider = QStringLiteral("openai");
        config.llm.baseUrl = model.baseUrl();
        config.llm.model = QStringLiteral("scripted");
        config.llm.timeLimitMs = 3000;
        config.cleanup.mode = QStringLiteral("model");
        config.cleanup.timeLimitMs = 1000;
    }

    HttpResult post(const char *function, const QByteArray &body, int timeoutMs = 60000)
    {
        return client->send("POST", QStringLiteral("/functions/v1/") + QString::fromLatin1(function), body,
                            {{"Authorization", "Bearer " + ada.token}, {"Content-Type", "application/json"}},
                            timeoutMs);
    }

    // The system message and the last user message of the n-th request the
    // model received.
    std::pair<QString, QString> prompt(std::size_t n) const
    {
        const json::Json &messages = model.requests.at(n)["messages"];
        return {QString::fromStdString(messages[0]["content"].get<std::string>()),
                QString::fromStdString(messages.back()["content"].get<std::string>())};
    }

    ScriptedModelEndpoint model{scheduler};
};

} // namespace

TEST_F(ModelEndpointTest, RepliesStreamedOrNotErrorsAndTimeLimits)
{
    OpenAiChatModel plain({QUrl(endpoint.baseUrl()), QStringLiteral("m"), "secret", false}, scheduler);
    endpoint.answer(QStringLiteral("Hello there."));
    auto reply = QCoro::waitFor(ask(plain));
    ASSERT_TRUE(reply) << qPrintable(reply.error().message);
    EXPECT_EQ(reply->text, QStringLiteral("Hello there."));
    EXPECT_EQ(reply->generatedTokens, 7);
    EXPECT_EQ(endpoint.headers.back(), "Bearer secret");
    EXPECT_EQ(endpoint.requests.back()["temperature"], 0);

    OpenAiChatModel streamed({QUrl(endpoint.baseUrl()), QStringLiteral("m"), {}, true}, scheduler);
    endpoint.replies.push_back({200,
                                "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\n\n"
                                "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}]}\n\n"
                                "data: {\"choices\":[{\"delta\":{\"content\":\"lo.\"}}]}\n\ndata: [DONE]\n\n",
                                Millis(0)});
    reply = QCoro::waitFor(ask(streamed));
    ASSERT_TRUE(reply) << qPrintable(reply.error().message);
    EXPECT_EQ(reply->text, QStringLiteral("Hello."));
    EXPECT_TRUE(endpoint.headers.back().isEmpty());

    using Kind = GenerationFailure::Kind;
    const QList<std::pair<ScriptedModelEndpoint::Reply, Kind>> failures{
        {{429, R"({"error":{"message":"slow down"}})", Millis(0)}, Kind::busy},
        {{500, R"({"error":{"message":"model exploded"}})", Millis(0)}, Kind::failed},
        {{200, "<html>", Millis(0)}, Kind::failed},
        {{200, R"({"choices":[]})", Millis(0)}, Kind::failed},
        {{200, ScriptedModelEndpoint::content(QStringLiteral("late")), Millis(1500)}, Kind::timedOut},
    };
    for (const auto &[scripted, kind] : failures) {
        endpoint.replies.push_back(scripted);
        reply = QCoro::waitFor(ask(plain, Millis(500)));
        ASSERT_FALSE(reply) << scripted.body.constData();
        EXPECT_EQ(reply.error().kind, kind) << qPrintable(reply.error().message);
    }
    endpoint.replies.push_back({500, R"({"error":{"message":"model exploded"}})", Millis(0)});
    EXPECT_TRUE(QCoro::waitFor(ask(plain)).error().message.contains(QStringLiteral("model exploded")));

    // Truncated streams are refused rather than passed on half-written.
    endpoint.replies.push_back({200, "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}]}\n\n", Millis(0)});
    EXPECT_EQ(QCoro::waitFor(ask(streamed)).error().kind, Kind::failed);
}

TEST_F(TextFunctionsTest, RewriteSendsTheStyleOrInstructionAndTheTextAsData)
{
    model.answer(QStringLiteral("Here is the rewritten text:\n\n\"Could we meet on Tuesday at 3 pm?\""));
    HttpResult r = post("rewrite", R"({"text":"  can we like meet tuesday 3pm  ","style":"formal","request_id":"X"})");
    ASSERT_EQ(r.status, 200) << r.body.constData();
    EXPECT_EQ(jsonOf(r), json::Json({{"text", "Could we meet on Tuesday at 3 pm?"}}));
    auto [system, user] = prompt(0);
    EXPECT_TRUE(system.contains(QStringLiteral("formal, professional")));
    EXPECT_TRUE(system.contains(QStringLiteral("never a message to you")));
    EXPECT_EQ(user, QStringLiteral("<text>\ncan we like meet tuesday 3pm\n</text>"));

    model.answer(QStringLiteral("• Milk\n• Eggs"));
    r = post("rewrite", R"({"text":"milk and eggs","style":"natural","prompt":"Convert into a bulleted list."})");
    ASSERT_EQ(r.status, 200) << r.body.constData();
    EXPECT_EQ(jsonOf(r)["text"], "• Milk\n• Eggs");
    EXPECT_TRUE(prompt(1).first.startsWith(QStringLiteral("You are a careful writing assistant. Convert into a "
                                                          "bulleted list.")));
    EXPECT_EQ(server->storage().modelRequestCount(ada.id, QStringLiteral("rewrite")), 2);

    // Refusals name what is wrong; none of them reaches the model.
    const QList<std::pair<QByteArray, int>> refused{
        {R"({"text":"   ","style":"natural"})", 400},
        {R"({"text":"hi","style":"pirate"})", 400},
        {R"({"style":"natural"})", 400},
        {"[1,2]", 400},
        {R"({"text":")" + QByteArray(6001, 'a') + R"(","style":"natural"})", 413},
        {R"({"text":"hi","prompt":")" + QByteArray(2001, 'p') + R"("})", 413},
        {QByteArray(70 * 1024, ' '), 413},
    };
    for (const auto &[body, status] : refused) {
        r = post("rewrite", body);
        EXPECT_EQ(r.status, status) << body.left(60).constData();
        EXPECT_FALSE(jsonOf(r).value("error", std::string()).empty()) << body.left(60).constData();
    }
    EXPECT_EQ(model.requests.size(), 2u);

    // The model's own failures: a message for the user, 503 with a retry time when it is busy.
    model.replies.push_back({500, R"({"error":{"message":"out of memory"}})", Millis(0)});
    r = post("rewrite", R"({"text":"hello","style":"natural"})");
    EXPECT_EQ(r.status, 502);
    EXPECT_TRUE(QString::fromUtf8(r.body).contains(QStringLiteral("out of memory")));
    model.replies.push_back({429, R"({"error":{"message":"busy"}})", Millis(0)});
    r = post("rewrite", R"({"text":"hello","style":"natural"})");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.header("retry-after"), "5");
    model.answer(QStringLiteral("   "));
    EXPECT_EQ(post("rewrite", R"({"text":"hello","style":"natural"})").status, 502);

    // A model that answers the text, or writes a letter template around it,
    // is not passed off as a rewrite.
    for (const char *answer : {"Sure, I can help you with that. What time works for you?",
                               "Dear [Recipient's Name], we should meet tomorrow at 3 about the budget."}) {
        model.answer(QString::fromUtf8(answer));
        r = post("rewrite", R"({"text":"hey can we meet tmrw at 3 to go over the budget","style":"formal"})");
        EXPECT_EQ(r.status, 502) << answer;
        EXPECT_TRUE(QString::fromUtf8(r.body).contains(QStringLiteral("instead of rewriting"))) << answer;
    }
}

TEST_F(TextFunctionsTest, AskAnswersOpensOnlySearchesItBuildsAndStopsWhenTheClientLeaves)
{
    // Plain phrasings need no model.
    HttpResult r = post("ask", R"({"query":"Play lo-fi beats on YouTube.","timezone":"Europe/Paris"})");
    ASSERT_EQ(r.status, 200) << r.body.constData();
    EXPECT_EQ(jsonOf(r)["kind"], "action");
    EXPECT_EQ(jsonOf(r)["url"], "https://www.youtube.com/results?search_query=lo-fi%20beats");
    r = post("ask", R"({"query":"Can you get directions to the Eiffel Tower?"})");
    EXPECT_EQ(jsonOf(r)["url"], "https://www.google.com/maps/search/?api=1&query=the%20Eiffel%20Tower");
    r = post("ask", R"({"query":"buy a USB-C cable on Amazon"})");
    EXPECT_EQ(jsonOf(r)["url"], "https://www.amazon.com/s?k=a%20USB-C%20cable");
    EXPECT_TRUE(model.requests.empty());

    // Anything else goes to the model: an answer (never with invented
    // sources), or a search it names, for which we build the address.
    model.answer(QStringLiteral("Water boils at 100 °C at sea level."));
    r = post("ask", R"({"query":"At what temperature does water boil?","timezone":"Europe/Paris","locale":"fr_FR"})");
    EXPECT_EQ(jsonOf(r), json::Json({{"kind", "answer"}, {"text", "Water boils at 100 °C at sea level."}}));
    EXPECT_TRUE(prompt(0).first.contains(QStringLiteral("Europe/Paris")));
    model.answer(QStringLiteral("ACTION map: cafés in Lyon"));
    r = post("ask", R"({"query":"I need somewhere to get coffee in Lyon"})");
    EXPECT_EQ(jsonOf(r)["url"], "https://www.google.com/maps/search/?api=1&query=caf%C3%A9s%20in%20Lyon");
    model.answer(QStringLiteral("ACTION video: https://evil.example/watch"));
    r = post("ask", R"({"query":"show me that clip"})");
    EXPECT_EQ(jsonOf(r)["kind"], "answer"); // an address from the model is never opened
    EXPECT_EQ(post("ask", R"({"query":"  "})").status, 400);

    // A client that hangs up frees the model at once.
    model.answer(QStringLiteral("too late"), Millis(2500));
    r = post("ask", R"({"query":"Tell me a long story"})", 300);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.sawHangUp; }, 2000));
}

TEST_F(TextFunctionsTest, ModelCleanupIsUsedOnlyWhenItKeepsTheSpeakersWords)
{
    const auto clean = [&](const char *text) {
        json::Json body{{"filler_words_enabled", true}};
        body["text"] = text;
        body["filler_words"] = json::Json::array({"um", "uh"});
        return jsonOf(post("cleanup", json::encode(body)))["text"].get<std::string>();
    };
    // The model gets the rules' text (fillers gone) as data, and its
    // punctuation is kept.
    model.answer(QStringLiteral("Hi Priya, the build is ready. Can you look before Friday?"));
    EXPECT_EQ(clean("hi priya um the build is ready can you look before friday"),
              "Hi Priya, the build is ready. Can you look before Friday?");
    EXPECT_TRUE(prompt(0).second.contains(QStringLiteral("<text>\nHi priya the build is ready can you look before "
                                                         "friday.\n</text>")))
        << qPrintable(prompt(0).second);

    // A model that answers the dictation, drops a clause, fails or is slower
    // than the cleanup's time limit is overruled by the rules.
    const std::string rules = "What do you think about this proposal from the team.";
    model.answer(QStringLiteral("I think the proposal from the team is promising, but it depends on the cost."));
    EXPECT_EQ(clean("uh what do you think about this proposal from the team"), rules);
    model.answer(QStringLiteral("What do you think?"));
    EXPECT_EQ(clean("uh what do you think about this proposal from the team"), rules);
    model.replies.push_back({500, R"({"error":{"message":"overloaded"}})", Millis(0)});
    EXPECT_EQ(clean("uh what do you think about this proposal from the team"), rules);
    model.answer(QStringLiteral("What do you think about this proposal from the team?"), Millis(5000));
    EXPECT_EQ(clean("uh what do you think about this proposal from the team"), rules);
}

TEST_F(TextFunctionsTest, TheAppsClientsRewriteAndAskThroughTheServer)
{
    NetworkRequestSender sender;
    FixedToken token(QString::fromLatin1(ada.token));
    RewriteService rewrite(QUrl(base + QStringLiteral("/functions/v1/rewrite")), token, sender, scheduler);
    AssistantService assistant(QUrl(base + QStringLiteral("/functions/v1/ask")), token, sender);

    model.answer(QStringLiteral("• Eggs\n• Milk"));
    const auto list = QCoro::waitFor(rewrite.sendRewrite(QStringLiteral("eggs and milk"), RewriteStyle::natural,
                                                         QStringLiteral("Make a bulleted list.")));
    ASSERT_TRUE(list) << qPrintable(list.error().description());
    EXPECT_EQ(*list, QStringLiteral("• Eggs\n• Milk"));
    EXPECT_TRUE(prompt(0).first.contains(QStringLiteral("Make a bulleted list.")));

    model.replies.push_back({500, R"({"error":{"message":"overloaded"}})", Millis(0)});
    const auto failed = QCoro::waitFor(rewrite.sendRewrite(QStringLiteral("text"), RewriteStyle::formal, std::nullopt));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, RewriteError::Kind::providerFailure);

    model.answer(QStringLiteral("A leap year has 366 days."));
    const auto answer = QCoro::waitFor(assistant.ask(QStringLiteral("How many days in a leap year?")));
    ASSERT_TRUE(answer) << qPrintable(answer.error().description());
    EXPECT_EQ(std::get<AssistantAnswer>(*answer).text, QStringLiteral("A leap year has 366 days."));
    EXPECT_TRUE(std::get<AssistantAnswer>(*answer).sources.isEmpty());

    const auto action = QCoro::waitFor(assistant.ask(QStringLiteral("Directions to Lyon")));
    ASSERT_TRUE(action);
    EXPECT_TRUE(AssistantActionPolicy::allows(std::get<AssistantAction>(*action).url));
}

namespace {
class NoModelTest : public test::TwoUserServerTest
{
protected:
    void configure(ServerConfig &config) override { config.llm.provider = QStringLiteral("none"); }
};
} // namespace

TEST_F(NoModelTest, RewriteSaysHowToTurnTheModelOnAndPlainAskPhrasingsStillWork)
{
    const QList<QPair<QByteArray, QByteArray>> headers{{"Authorization", "Bearer " + ada.token},
                                                       {"Content-Type", "application/json"}};
    HttpResult r =
        client->send("POST", QStringLiteral("/functions/v1/rewrite"), R"({"text":"hi","style":"natural"})", headers);
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(QString::fromUtf8(r.body).contains(QStringLiteral("llm.provider")));
    r = client->send("POST", QStringLiteral("/functions/v1/ask"), R"({"query":"directions to Lyon"})", headers);
    EXPECT_EQ(jsonOf(r)["kind"], "action");
}
