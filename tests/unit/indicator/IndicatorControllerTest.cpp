#include "indicator/IndicatorController.h"
#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::test;
using namespace std::chrono_literals;

namespace {

using R = IndicatorHitRegion;

class IndicatorTest : public ::testing::Test
{
protected:
    IndicatorTest()
        : defaults(dir.filePath(QStringLiteral("settings.json")))
        , indicator(std::make_unique<IndicatorController>(defaults, scheduler))
    {}

    // Lets every timer task finish, so nothing waits on a clock that is about to go away.
    ~IndicatorTest() override
    {
        indicator.reset();
        for (int i = 0; i < 1000 && scheduler.runNext(); ++i) {
        }
        EXPECT_EQ(scheduler.pendingWakes(), 0u);
    }

    QString shown() const { return indicator->state().describe(); }
    bool logged(const QString &message) const { return logs.has(QStringLiteral("indicator"), message); }

    QTemporaryDir dir;
    LogCapture logs;
    VirtualScheduler scheduler;
    UserDefaults defaults;
    std::unique_ptr<IndicatorController> indicator;
};

} // namespace

TEST_F(IndicatorTest, FadesReturnToTheQuietStateUnlessSuperseded)
{
    indicator->hide(); // always visible by default: the idle pill
    EXPECT_EQ(shown(), QStringLiteral("idle"));

    indicator->present(IndicatorState::done());
    scheduler.advance(799ms);
    EXPECT_EQ(shown(), QStringLiteral("done"));
    scheduler.advance(1ms);
    EXPECT_EQ(shown(), QStringLiteral("idle"));

    indicator->present(IndicatorState::done());
    scheduler.advance(500ms);
    indicator->present(IndicatorState::recording());
    scheduler.advance(10s);
    EXPECT_EQ(shown(), QStringLiteral("recording"));

    indicator->present(IndicatorState::notice(QStringLiteral("Cancelled")), 1200ms);
    scheduler.advance(1199ms);
    EXPECT_EQ(shown(), QStringLiteral("notice(Cancelled)"));
    scheduler.advance(1ms);
    EXPECT_EQ(shown(), QStringLiteral("idle"));

    QSignalSpy visibility(indicator.get(), &IndicatorController::visibilityChanged);
    indicator->setAlwaysVisible(false);
    EXPECT_EQ(shown(), QStringLiteral("hidden"));
    indicator->present(IndicatorState::error(QStringLiteral("Couldn't start recording")));
    scheduler.advance(4s);
    EXPECT_EQ(shown(), QStringLiteral("hidden"));
    EXPECT_TRUE(logged(QStringLiteral("Indicator state: hidden")));
    ASSERT_EQ(visibility.size(), 3);
    EXPECT_FALSE(visibility.at(2).at(0).toBool());

    indicator->present(IndicatorState::signInRequired());
    scheduler.advance(9999ms);
    EXPECT_EQ(shown(), QStringLiteral("signInRequired"));
    indicator->setAlwaysVisible(true);
    EXPECT_EQ(shown(), QStringLiteral("signInRequired")); // only the quiet states are re-presented
    scheduler.advance(1ms);
    EXPECT_EQ(shown(), QStringLiteral("idle"));
}

TEST_F(IndicatorTest, ResultClosesAfterItsCountdownOrShortlyAfterCopy)
{
    indicator->present(IndicatorState::result(QStringLiteral("first")));
    EXPECT_EQ(indicator->resultCountdown(), 5);
    scheduler.advance(3s);
    EXPECT_EQ(indicator->resultCountdown(), 2);
    // A newer result restarts the count; the older one must not close it.
    indicator->present(IndicatorState::result(QStringLiteral("second")));
    scheduler.advance(2s);
    EXPECT_EQ(shown(), QStringLiteral("result(second)"));
    EXPECT_EQ(indicator->resultCountdown(), 3);
    scheduler.advance(3s);
    EXPECT_EQ(shown(), QStringLiteral("idle"));
    EXPECT_FALSE(indicator->resultCountdown());
    EXPECT_TRUE(logged(QStringLiteral("Result panel dismissed")));

    QStringList copied;
    indicator->copyToClipboard = [&](QString text) { copied << text; };
    indicator->present(IndicatorState::result(QStringLiteral("naïve text")));
    scheduler.advance(4500ms);
    indicator->indicatorClicked(R::copyText);
    EXPECT_EQ(copied, QStringList{QStringLiteral("naïve text")});
    EXPECT_TRUE(indicator->didCopy());
    EXPECT_FALSE(indicator->resultCountdown());
    EXPECT_TRUE(logged(QStringLiteral("Result panel: copied 10 chars to the clipboard")));
    scheduler.advance(699ms); // past where the countdown would have ended
    EXPECT_EQ(shown(), QStringLiteral("result(naïve text)"));
    scheduler.advance(1ms);
    EXPECT_EQ(shown(), QStringLiteral("idle"));
    EXPECT_FALSE(indicator->didCopy());

    indicator->present(IndicatorState::askAnswer(QStringLiteral("42"), {}));
    scheduler.advance(2s);
    indicator->present(IndicatorState::processing());
    EXPECT_FALSE(indicator->resultCountdown());
    scheduler.advance(10s);
    EXPECT_EQ(shown(), QStringLiteral("processing"));
}

TEST_F(IndicatorTest, HoverExpandsTheIdlePillAndLeavingCollapsesIt)
{
    indicator->present(IndicatorState::idle());
    indicator->indicatorHoverChanged(R::bar);
    scheduler.advance(50ms);
    indicator->indicatorHoverChanged(std::nullopt); // a pass over the pill
    scheduler.advance(1s);
    EXPECT_FALSE(indicator->isExpanded());

    indicator->indicatorHoverChanged(R::bar);
    scheduler.advance(99ms);
    EXPECT_FALSE(indicator->isExpanded());
    scheduler.advance(1ms);
    EXPECT_TRUE(indicator->isExpanded());
    EXPECT_EQ(indicator->panelSize(), QSizeF(86, 40));
    EXPECT_TRUE(logged(QStringLiteral("Indicator expanded into control cluster")));

    indicator->indicatorHoverChanged(std::nullopt);
    scheduler.advance(400ms);
    indicator->indicatorHoverChanged(R::cluster); // back in time
    scheduler.advance(1s);
    EXPECT_TRUE(indicator->isExpanded());
    indicator->indicatorClicked(R::transforms);
    EXPECT_TRUE(indicator->isTransformShortcutVisible());
    EXPECT_EQ(indicator->panelSize(), QSizeF(170, 40));
    indicator->indicatorHoverChanged(std::nullopt);
    scheduler.advance(499ms);
    EXPECT_TRUE(indicator->isExpanded());
    scheduler.advance(1ms);
    EXPECT_FALSE(indicator->isExpanded());
    EXPECT_EQ(indicator->panelSize(), QSizeF(210, 40));

    // After a cluster button the pill stays collapsed until the cursor leaves.
    int dictations = 0;
    indicator->onDictateTapped = [&] { ++dictations; };
    indicator->indicatorHoverChanged(R::bar);
    scheduler.advance(100ms);
    indicator->indicatorHoverChanged(R::mic);
    indicator->indicatorClicked(R::mic);
    EXPECT_EQ(dictations, 1);
    EXPECT_FALSE(indicator->isExpanded());
    indicator->indicatorHoverChanged(R::bar);
    scheduler.advance(1s);
    EXPECT_FALSE(indicator->isExpanded());
    indicator->indicatorHoverChanged(std::nullopt);
    indicator->indicatorHoverChanged(R::bar);
    scheduler.advance(100ms);
    EXPECT_TRUE(indicator->isExpanded());

    // Any new state folds the cluster away.
    indicator->present(IndicatorState::recording());
    EXPECT_FALSE(indicator->isExpanded());
    EXPECT_EQ(indicator->panelSize(), QSizeF(176, 48));
}

TEST_F(IndicatorTest, TextHeightsAreClampedAndLevelsKeepTheLatest)
{
    indicator->present(IndicatorState::result(QStringLiteral("text")));
    EXPECT_EQ(indicator->panelSize(), QSizeF(332, 18 + 100));
    indicator->reportResultTextHeight(300);
    EXPECT_EQ(indicator->resultTextHeight(), 104);
    EXPECT_EQ(indicator->panelSize(), QSizeF(332, 104 + 100));
    EXPECT_TRUE(logged(QStringLiteral("Result panel transcript height → 104")));
    indicator->reportResultTextHeight(60);
    indicator->reportResultTextHeight(60.4);
    EXPECT_EQ(indicator->resultTextHeight(), 60);
    indicator->reportResultTextHeight(2);
    EXPECT_EQ(indicator->resultTextHeight(), 18);

    indicator->reportAskResultTextHeight(300);
    EXPECT_EQ(indicator->askResultTextHeight(), 112);
    EXPECT_TRUE(logged(QStringLiteral("Ask result transcript height → 112")));
    indicator->present(IndicatorState::askAnswer(QStringLiteral("answer"), {}));
    EXPECT_EQ(indicator->askResultTextHeight(), 18); // each answer is measured afresh

    for (int i = 1; i <= 33; ++i)
        indicator->pushLevel(float(i));
    EXPECT_EQ(indicator->levelHistory().front(), 2.0f);
    EXPECT_EQ(indicator->levelHistory().back(), 33.0f);
}

TEST_F(IndicatorTest, SizeAndMousePolicyFollowTheState)
{
    const QList<AssistantSource> two{{QStringLiteral("A"), QUrl(QStringLiteral("https://a.example"))},
                                     {QStringLiteral("B"), QUrl(QStringLiteral("https://b.example"))}};
    const struct
    {
        IndicatorState state;
        QSizeF size;
        bool mouse;
    } rows[] = {
        {IndicatorState::askAnswer(QStringLiteral("x"), two), {360, 64 + 2 * 28 + 18 + 24}, true},
        {IndicatorState::notice(QStringLiteral("x")), {320, 44}, false},
        {IndicatorState::actionConfirmation(QStringLiteral("x")), {320, 44}, false},
        {IndicatorState::error(QStringLiteral("x")), {470, 44}, false},
        {IndicatorState::idle(), {210, 40}, true},
        {IndicatorState::askRecording(), {226, 50}, true},
        {IndicatorState::signInRequired(), {360, 52}, true},
        {IndicatorState::processing(), {210, 40}, false},
        {IndicatorState::done(), {210, 40}, false},
    };
    for (const auto &row : rows) {
        indicator->present(row.state);
        EXPECT_EQ(indicator->panelSize(), row.size) << row.state.describe().toStdString();
        EXPECT_EQ(indicator->acceptsMouse(), row.mouse) << row.state.describe().toStdString();
    }
}

TEST_F(IndicatorTest, ClicksInReportedRegionsReachTheirCallbacks)
{
    int cancels = 0;
    int confirms = 0;
    indicator->onCancelTapped = [&] { ++cancels; };
    indicator->onConfirmTapped = [&] { ++confirms; };
    indicator->present(IndicatorState::recording());
    indicator->reportHitRect(R::cancel, QRectF(0, 0, 50, 48));
    indicator->reportHitRect(R::confirm, QRectF(40, 0, 50, 48));
    indicator->reportHitRect(R::close, QRectF(0, 0, 200, 48)); // a result view's leftover
    EXPECT_EQ(indicator->regionAt({45, 10}), R::confirm);
    EXPECT_EQ(indicator->regionAt({10, 10}), R::cancel);
    EXPECT_EQ(indicator->regionAt({150, 10}), std::nullopt);
    indicator->reportHitRect(R::cancel, QRectF(0, 0, 50, 48));
    EXPECT_EQ(indicator->regionAt({45, 10}), R::cancel);
    indicator->indicatorClicked(*indicator->regionAt({45, 10}));
    indicator->indicatorClicked(R::confirm);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(confirms, 1);
    EXPECT_TRUE(logged(QStringLiteral("Recording pill: discard tapped")));

    // Once recording has ended its buttons neither hit nor act.
    indicator->present(IndicatorState::processing());
    EXPECT_EQ(indicator->regionAt({10, 10}), std::nullopt);
    indicator->indicatorClicked(R::cancel);
    EXPECT_EQ(cancels, 1);

    indicator->present(IndicatorState::signInRequired());
    indicator->reportHitRect(R::bar, QRectF(0, 0, 360, 52));
    EXPECT_TRUE(indicator->viewHandlesClicks());
    EXPECT_EQ(indicator->regionAt({10, 10}), std::nullopt);

    QList<QUrl> opened;
    indicator->onAskSourceTapped = [&](QUrl url) { opened << url; };
    const AssistantSource only{QStringLiteral("Docs"), QUrl(QStringLiteral("https://docs.example/page"))};
    indicator->present(IndicatorState::askAnswer(QStringLiteral("answer"), {only}));
    indicator->indicatorClicked(R::sourceTwo);
    indicator->indicatorClicked(R::sourceOne);
    EXPECT_EQ(opened, QList<QUrl>{only.url});
    indicator->indicatorClicked(R::close);
    EXPECT_EQ(shown(), QStringLiteral("idle"));
}

TEST_F(IndicatorTest, PlacementAndSettings)
{
    // A 28 px top bar and a 40 px bottom panel on a screen right of another one.
    const QRectF screen(1920, 0, 1920, 1080);
    const QRectF available(1920, 28, 1920, 1012);
    EXPECT_EQ(IndicatorController::origin(IndicatorPosition::topMiddle, {210, 40}, screen, available),
              QPointF(1920 + 960 - 105, 32));
    EXPECT_EQ(IndicatorController::origin(IndicatorPosition::bottomMiddle, {176, 48}, screen, available),
              QPointF(1920 + 960 - 88, 1040 - 48 - 4));
    // A notification beside the indicator: 8 px below it at the top, above it
    // at the bottom, and never off the screen's edge.
    const QRectF pill(2775, 32, 210, 40);
    EXPECT_EQ(IndicatorController::nearbyNotificationOrigin(IndicatorPosition::topMiddle, pill, {300, 90}, screen),
              QPointF(2880 - 150, 32 + 40 + 8));
    EXPECT_EQ(IndicatorController::nearbyNotificationOrigin(IndicatorPosition::bottomMiddle, pill.translated(0, 960),
                                                            {300, 90}, screen),
              QPointF(2880 - 150, 992 - 8 - 90));
    EXPECT_EQ(IndicatorController::nearbyNotificationOrigin(IndicatorPosition::topMiddle, QRectF(1900, 0, 60, 20),
                                                            {300, 90}, screen),
              QPointF(1924, 28));

    EXPECT_EQ(indicator->position(), IndicatorPosition::bottomMiddle);
    EXPECT_EQ(indicator->waveformStyle(), WaveformStyle::bars);
    indicator->setPosition(IndicatorPosition::topMiddle);
    EXPECT_EQ(defaults.string(QStringLiteral("indicator.position")), QStringLiteral("topMiddle"));
    indicator->setWaveformStyle(WaveformStyle::spectrum);
    EXPECT_EQ(defaults.string(QStringLiteral("waveform.style")), QStringLiteral("spectrum"));
    defaults.set(QStringLiteral("waveform.style"), QStringLiteral("zigzag"));
    EXPECT_EQ(indicator->waveformStyle(), WaveformStyle::bars);
    indicator->setAlwaysVisible(false);
    EXPECT_FALSE(defaults.boolValue(QStringLiteral("indicator.alwaysVisible"), true));
    EXPECT_TRUE(logged(QStringLiteral("Indicator alwaysVisible → false")));
}
