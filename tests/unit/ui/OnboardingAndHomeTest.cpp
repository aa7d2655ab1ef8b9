#include "core/UserDefaults.h"
#include "support/LogCapture.h"
#include "ui/HomeSummary.h"
#include "ui/Navigation.h"
#include "ui/OnboardingFlow.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;

namespace {

class OnboardingFlowTest : public ::testing::Test
{
protected:
    OnboardingFlowTest() : defaults(dir.filePath(QStringLiteral("s.json"))), flow(defaults) {}

    QTemporaryDir dir;
    test::LogCapture logs;
    UserDefaults defaults;
    OnboardingFlow flow;
};

} // namespace

TEST_F(OnboardingFlowTest, WalksFromTheMicrophoneToAFirstDictationAndRecordsTheEnd)
{
    flow.start(true); // signed in already: the sign-in step is passed over
    EXPECT_EQ(flow.step(), OnboardingStep::microphone);
    flow.back();
    EXPECT_EQ(flow.step(), OnboardingStep::microphone);
    flow.next();
    flow.next();
    flow.next();
    ASSERT_EQ(flow.step(), OnboardingStep::tryIt);
    flow.back();
    EXPECT_EQ(flow.step(), OnboardingStep::shortcut);
    flow.next();
    EXPECT_FALSE(flow.hasDictated());
    flow.dictationArrived();
    EXPECT_TRUE(flow.hasDictated());
    EXPECT_FALSE(onboardingSettings::isCompleted(defaults));
    flow.next(); // Finish
    EXPECT_EQ(flow.step(), OnboardingStep::done);
    EXPECT_TRUE(onboardingSettings::isCompleted(defaults));
    EXPECT_FALSE(onboardingSettings::isSkipped(defaults));
    EXPECT_TRUE(logs.has(QStringLiteral("first-run"), QStringLiteral("Onboarding completed")));
}

TEST_F(OnboardingFlowTest, SigningInIsTheOnlyWayPastTheFirstStepAndSkippingIsRemembered)
{
    flow.start(false);
    flow.next();
    EXPECT_EQ(flow.step(), OnboardingStep::signIn);
    flow.dictationArrived(); // not on the try-it step: ignored
    EXPECT_FALSE(flow.hasDictated());

    flow.start(true);
    flow.next();
    flow.skip();
    EXPECT_EQ(flow.step(), OnboardingStep::done);
    EXPECT_TRUE(onboardingSettings::isCompleted(defaults));
    EXPECT_TRUE(onboardingSettings::isSkipped(defaults));
    EXPECT_TRUE(logs.has(QStringLiteral("first-run"), QStringLiteral("Onboarding skipped at accessibility")));

    // Going through it later clears the reminder.
    flow.start(true);
    for (int i = 0; i < 4; ++i)
        flow.next();
    EXPECT_FALSE(onboardingSettings::isSkipped(defaults));
}

TEST(HomeSummaryTest, CountsTodaysDictationsAndWordsInLocalTime)
{
    const QDate today(2026, 12, 7);
    const QDateTime noon(today, QTime(12, 0));
    std::vector<ClipboardEntry> entries = {
        {QUuid::createUuid(), QStringLiteral("Hello  world,\nagain"), noon, {}, {}, false},
        {QUuid::createUuid(), QStringLiteral("  "), noon.addSecs(60), {}, {}, false},
        {QUuid::createUuid(), QStringLiteral("yesterday's words"), noon.addDays(-1), {}, {}, false},
    };
    const TodaySummary summary = summarizeToday(entries, today);
    EXPECT_EQ(summary.dictations, 2);
    EXPECT_EQ(summary.words, 3);
}

TEST(HomeSummaryTest, ListsWhatBlocksDictationFirstAndOffersTheFix)
{
    EXPECT_TRUE(attentionItems({}).isEmpty());

    AttentionFacts facts;
    facts.onboardingSkipped = true;
    facts.pendingRecordings = 2;
    facts.accessibilityProblem = QStringLiteral("The accessibility bus is not running.");
    facts.microphoneProblem = QStringLiteral("No sound server answered.");
    facts.shortcutProblems << QStringLiteral("Record: taken");
    facts.keyringProblem = QStringLiteral("No keyring answered.");
    facts.updateVersion = QStringLiteral("0.2.0");
    facts.settingsSetAside =
        AttentionFacts::SetAside{QStringLiteral("/c/settings.json.corrupt-1"), QStringLiteral("parse error at line 2")};
    const QList<Attention> items = attentionItems(facts);
    using Action = Attention::Action;
    QList<Action> actions;
    for (const Attention &item : items)
        actions << item.action;
    EXPECT_EQ(actions,
              (QList<Action>{Action::openMicrophone, Action::openOnboarding, Action::none, Action::openShortcuts,
                             Action::retryPending, Action::none, Action::finishOnboarding, Action::downloadUpdate}));
    EXPECT_TRUE(items[0].text.contains(QStringLiteral("No sound server answered.")));
    EXPECT_TRUE(items[2].text.contains(QStringLiteral("(parse error at line 2)")) &&
                items[2].text.contains(QStringLiteral("/c/settings.json.corrupt-1")))
        << qPrintable(items[2].text);
    EXPECT_TRUE(items[4].text.startsWith(QStringLiteral("2 recordings")));
}

TEST(NavigationTest, RoutesRoundTripByNameAndUptimeReadsNaturally)
{
    for (Route route : kAllRoutes)
        EXPECT_EQ(route::fromRawValue(route::rawValue(route)), route);
    EXPECT_EQ(route::fromRawValue(QStringLiteral("settings")), std::nullopt);
    EXPECT_EQ(uptimeText(59), QStringLiteral("Up 0 min"));
    EXPECT_EQ(uptimeText(2 * 3600 + 5 * 60), QStringLiteral("Up 2 h 5 min"));
    EXPECT_EQ(uptimeText(3 * 86400 + 4 * 3600), QStringLiteral("Up 3 d 4 h"));
}
