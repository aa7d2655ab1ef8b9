// The local language model: the real dravelin-llm worker with the model the
// setup script installed. Greedy decoding repeats itself; the queue, the time
// limit and a client going away all end requests promptly; a worker that dies
// is replaced by the next request.

#include "llm/LocalModel.h"
#include "account/NetworkRequestSender.h"
#include "core/QtScheduler.h"
#include "llm/ModelFactory.h"
#include "support/FixedToken.h"
#include "support/TwoUserServer.h"
#include "text/AssistantResponse.h"
#include "text/AssistantService.h"
#include "text/RewriteService.h"

#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>

using namespace dravelin;
using namespace dravelin::server;
using namespace std::chrono_literals;

namespace {

class LocalModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(localWorkerPath()).isExecutable() || !QFileInfo::exists(defaultLocalModelPath()))
            GTEST_SKIP() << "no local language model (scripts/setup-llm)";
        model = std::make_unique<LocalModel>(localWorkerPath(), defaultLocalModelPath(), scheduler);
    }

    GenerationRequest request(const QString &question, int maxTokens, Millis limit = 60s)
    {
        GenerationRequest r;
        r.messages = {{QStringLiteral("system"), QStringLiteral("Answer in one short sentence.")},
                      {QStringLiteral("user"), question}};
        r.maxTokens = maxTokens;
        r.timeLimit = limit;
        return r;
    }

    QtScheduler scheduler;
    std::unique_ptr<LocalModel> model;
};

} // namespace

TEST_F(LocalModelTest, GreedyAnswersRepeatAndLimitsEndRequests)
{
    const auto first = QCoro::waitFor(model->generate(request(QStringLiteral("What colour is the sky?"), 12)));
    ASSERT_TRUE(first) << qPrintable(first.error().message);
    EXPECT_FALSE(first->text.trimmed().isEmpty());
    EXPECT_LE(first->generatedTokens, 12);
    EXPECT_GT(first->promptTokens, 5);
    const auto again = QCoro::waitFor(model->generate(request(QStringLiteral("What colour is the sky?"), 12)));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text, first->text);

    // A client that goes away, and a time limit, each end the request long
    // before its 400 tokens.
    bool wanted = true;
    GenerationRequest leaving = request(QStringLiteral("Write a long story about the sea."), 400);
    leaving.stillWanted = [&wanted] { return wanted; };
    auto running = model->generate(std::move(leaving));
    QTimer::singleShot(300, [&wanted] { wanted = false; });
    const auto cancelled = QCoro::waitFor(std::move(running));
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().kind, GenerationFailure::Kind::cancelled);
    const auto late = QCoro::waitFor(model->generate(request(QStringLiteral("Write a long story."), 400, 500ms)));
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error().kind, GenerationFailure::Kind::timedOut);

    // The worker is free again at once: the next short request succeeds.
    EXPECT_TRUE(QCoro::waitFor(model->generate(request(QStringLiteral("Say yes."), 4))));
}

TEST_F(LocalModelTest, AFullQueueIsBusyAndADeadWorkerIsReplaced)
{
    std::vector<QCoro::Task<Expected<Generation, GenerationFailure>>> queued;
    for (int i = 0; i < LocalModel::kMaxInFlight; ++i)
        queued.push_back(model->generate(request(QStringLiteral("Count to three."), 6)));
    const auto refused = QCoro::waitFor(model->generate(request(QStringLiteral("One more?"), 4)));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, GenerationFailure::Kind::busy);
    for (auto &task : queued)
        EXPECT_TRUE(QCoro::waitFor(std::move(task)));

    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isReady(); }, 60000));
    ::kill(static_cast<pid_t>(model->workerPid()), SIGKILL);
    auto during = model->generate(request(QStringLiteral("Still there?"), 4));
    const auto lost = QCoro::waitFor(std::move(during));
    // Sent to the dying worker (unavailable), or to its replacement (an answer).
    if (!lost) {
        EXPECT_EQ(lost.error().kind, GenerationFailure::Kind::unavailable);
    }
    EXPECT_TRUE(QCoro::waitFor(model->generate(request(QStringLiteral("Say yes."), 4))));
}

namespace {

// The server with its local model, reached by the app's own clients.
class LocalModelFunctionsTest : public test::TwoUserServerTest
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(localWorkerPath()).isExecutable() || !QFileInfo::exists(defaultLocalModelPath()))
            GTEST_SKIP() << "no local language model (scripts/setup-llm)";
        test::TwoUserServerTest::SetUp();
    }
    void configure(ServerConfig &config) override
    {
        config.llm.provider = QStringLiteral("local");
        // What is tested here is the answers, not their speed: a machine busy
        // with other tests can take longer than the product's 20 s per request.
        config.llm.timeLimitMs = 120000;
    }
};

} // namespace

TEST_F(LocalModelFunctionsTest, TheAppRewritesInEachStyleAndAsksThroughTheRealModel)
{
    NetworkRequestSender sender;
    test::FixedToken token(QString::fromLatin1(ada.token));
    // The server's own limit is raised for a busy machine; so is the app's wait.
    const Millis limit{130000};
    RewriteService rewrite(QUrl(base + QStringLiteral("/functions/v1/rewrite")), token, sender, scheduler, limit);
    AssistantService assistant(QUrl(base + QStringLiteral("/functions/v1/ask")), token, sender, limit);
    const QString text =
        QStringLiteral("i think we should push the release to next week because the installer still crashes on fedora");
    for (RewriteStyle style :
         {RewriteStyle::natural, RewriteStyle::concise, RewriteStyle::formal, RewriteStyle::casual}) {
        const auto result = QCoro::waitFor(rewrite.sendRewrite(text, style, std::nullopt));
        ASSERT_TRUE(result) << qPrintable(rewriteStyleName(style)) << ": " << qPrintable(result.error().description());
        EXPECT_TRUE(result->contains(QStringLiteral("release"), Qt::CaseInsensitive)) << qPrintable(*result);
        EXPECT_NE(*result, text);
    }
    const auto answer = QCoro::waitFor(assistant.ask(QStringLiteral("How many days are in a leap year?")));
    ASSERT_TRUE(answer) << qPrintable(answer.error().description());
    EXPECT_TRUE(std::get<AssistantAnswer>(*answer).text.contains(QStringLiteral("366")));
    const auto action = QCoro::waitFor(assistant.ask(QStringLiteral("Search YouTube for lofi beats")));
    ASSERT_TRUE(action) << qPrintable(action.error().description());
    EXPECT_TRUE(AssistantActionPolicy::allows(std::get<AssistantAction>(*action).url));
}
