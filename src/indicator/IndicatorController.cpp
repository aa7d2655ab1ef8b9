#include "indicator/IndicatorController.h"

#include "core/Log.h"
#include "core/UserDefaults.h"

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

using Kind = IndicatorState::Kind;
using namespace std::chrono_literals;

const QString kAlwaysVisibleKey = QStringLiteral("indicator.alwaysVisible");
constexpr bool kAlwaysVisibleDefault = true;
const QString kPositionKey = QStringLiteral("indicator.position");
constexpr IndicatorPosition kPositionDefault = IndicatorPosition::bottomMiddle;
const QString kWaveformStyleKey = QStringLiteral("waveform.style");
constexpr WaveformStyle kWaveformStyleDefault = WaveformStyle::bars;

constexpr Millis kCountdownStep = 1s;
// Changes of a measured text height up to this are layout rounding, not content.
constexpr qreal kTextHeightTolerance = 0.5;

// Result panel: header and button row around the text, plus padding.
constexpr qreal kResultChromeHeight = 76;
constexpr qreal kPanelPadding = 24;
// Ask answer panel: header and button row, plus one row per listed source
// (at most two are listed).
constexpr qreal kAskChromeHeight = 64;
constexpr qreal kAskSourceRowHeight = 28;
constexpr qsizetype kMaxAskSources = 2;

void info(const QString &message)
{
    logs::info(logs::indicator(), message);
}

// Result and Ask texts are the user's words: kept out of persisted logs.
QString describeForLog(const IndicatorState &state)
{
    switch (state.kind()) {
    case Kind::result:
        return QStringLiteral("result(%1)").arg(logs::priv(state.text()));
    case Kind::askAnswer:
        return QStringLiteral("askAnswer(%1, %2 sources)").arg(logs::priv(state.text())).arg(state.sources().size());
    default:
        return state.describe();
    }
}

} // namespace

QString toString(IndicatorPosition position)
{
    switch (position) {
    case IndicatorPosition::topMiddle:
        return QStringLiteral("topMiddle");
    case IndicatorPosition::bottomMiddle:
        return QStringLiteral("bottomMiddle");
    }
    return {};
}

QString toString(WaveformStyle style)
{
    switch (style) {
    case WaveformStyle::bars:
        return QStringLiteral("bars");
    case WaveformStyle::wave:
        return QStringLiteral("wave");
    case WaveformStyle::spectrum:
        return QStringLiteral("spectrum");
    }
    return {};
}

QString toString(IndicatorHitRegion region)
{
    switch (region) {
    case IndicatorHitRegion::bar:
        return QStringLiteral("bar");
    case IndicatorHitRegion::cluster:
        return QStringLiteral("cluster");
    case IndicatorHitRegion::mic:
        return QStringLiteral("mic");
    case IndicatorHitRegion::transforms:
        return QStringLiteral("transforms");
    case IndicatorHitRegion::concise:
        return QStringLiteral("concise");
    case IndicatorHitRegion::allTransforms:
        return QStringLiteral("allTransforms");
    case IndicatorHitRegion::cancel:
        return QStringLiteral("cancel");
    case IndicatorHitRegion::confirm:
        return QStringLiteral("confirm");
    case IndicatorHitRegion::close:
        return QStringLiteral("close");
    case IndicatorHitRegion::copyText:
        return QStringLiteral("copyText");
    case IndicatorHitRegion::sourceOne:
        return QStringLiteral("sourceOne");
    case IndicatorHitRegion::sourceTwo:
        return QStringLiteral("sourceTwo");
    case IndicatorHitRegion::bluetoothMicrophone:
        return QStringLiteral("bluetoothMicrophone");
    case IndicatorHitRegion::systemMicrophone:
        return QStringLiteral("systemMicrophone");
    case IndicatorHitRegion::transcript:
        return QStringLiteral("transcript");
    }
    return {};
}

IndicatorController::IndicatorController(UserDefaults &defaults, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_scheduler(scheduler)
{
    m_defaults.registerDefaults({
        {kAlwaysVisibleKey, kAlwaysVisibleDefault},
        {kPositionKey, toString(kPositionDefault)},
        {kWaveformStyleKey, toString(kWaveformStyleDefault)},
    });
}

IndicatorController::~IndicatorController()
{
    // Timer tasks hold the controller weakly; stop them waking for nothing.
    m_autoHideTask.cancel();
    m_autoCollapseTask.cancel();
    m_hoverExpandTask.cancel();
    m_resultDismissTask.cancel();
    m_resultCountdownTask.cancel();
}

// --- Presenting ---------------------------------------------------------------

std::optional<Millis> IndicatorController::defaultFade(IndicatorState::Kind kind)
{
    switch (kind) {
    case Kind::notice:
    case Kind::actionConfirmation:
    case Kind::error:
        return 4s;
    case Kind::done:
        return 800ms;
    case Kind::signInRequired:
        return 10s;
    case Kind::hidden:
    case Kind::idle:
    case Kind::recording:
    case Kind::askRecording:
    case Kind::processing:
    case Kind::result:    // closes through its countdown
    case Kind::askAnswer: // closes through its countdown
        return std::nullopt;
    }
    return std::nullopt;
}

void IndicatorController::present(const IndicatorState &requested, std::optional<Millis> fadeAfter)
{
    const QSizeF sizeBefore = panelSize();
    const bool wasShown = isShown();

    m_autoHideTask.cancel();
    clearResultCountdown();

    IndicatorState state = requested;
    if (state.kind() == Kind::hidden && alwaysVisible())
        state = IndicatorState::idle();
    else if (state.kind() == Kind::idle && !alwaysVisible())
        state = IndicatorState::hidden();

    clearExpansion();
    if (state.kind() == Kind::askAnswer)
        m_askTextHeight = minTextHeight;
    // A pending close after Copy belongs to the text that was copied; a new
    // result must not be closed by it or show as copied.
    m_resultDismissTask.cancel();
    m_didCopy = false;

    m_state = std::move(state);
    info(QStringLiteral("Indicator state: %1").arg(describeForLog(m_state)));
    if (isResultPanel())
        startResultCountdown();

    Q_EMIT stateChanged();
    emitGeometryIfChanged(sizeBefore);
    if (wasShown != isShown())
        Q_EMIT visibilityChanged(isShown());

    if (const std::optional<Millis> fade = fadeAfter ? fadeAfter : defaultFade(m_state.kind()))
        arm(m_autoHideTask, *fade, &IndicatorController::fadeDue);
}

void IndicatorController::hide()
{
    present(IndicatorState::hidden(), std::nullopt);
}

void IndicatorController::fadeDue()
{
    present(IndicatorState::idle(), std::nullopt);
}

bool IndicatorController::isResultPanel() const
{
    return m_state.kind() == Kind::result || m_state.kind() == Kind::askAnswer;
}

// --- Levels and text heights -----------------------------------------------------

void IndicatorController::pushLevel(float level)
{
    std::shift_left(m_levels.begin(), m_levels.end(), 1);
    m_levels.back() = std::isfinite(level) ? level : 0.0f;
    Q_EMIT levelsChanged();
}

void IndicatorController::reportResultTextHeight(qreal height)
{
    applyTextHeight(m_resultTextHeight, height, maxResultTextHeight,
                    QStringLiteral("Result panel transcript height → %1"));
}

void IndicatorController::reportAskResultTextHeight(qreal height)
{
    applyTextHeight(m_askTextHeight, height, maxAskTextHeight, QStringLiteral("Ask result transcript height → %1"));
}

void IndicatorController::applyTextHeight(qreal &current, qreal reported, qreal max, const QString &logFormat)
{
    if (!std::isfinite(reported))
        return;
    const qreal clamped = std::clamp(reported, minTextHeight, max);
    if (std::abs(clamped - current) <= kTextHeightTolerance)
        return;
    const QSizeF before = panelSize();
    current = clamped;
    info(logFormat.arg(qRound(clamped)));
    emitGeometryIfChanged(before);
}

void IndicatorController::emitGeometryIfChanged(QSizeF before)
{
    if (panelSize() != before)
        Q_EMIT geometryChanged();
}

// --- Size, mouse policy, placement -----------------------------------------------

QSizeF IndicatorController::panelSize() const
{
    switch (m_state.kind()) {
    case Kind::result:
        return {332, m_resultTextHeight + kResultChromeHeight + kPanelPadding};
    case Kind::askAnswer: {
        const qsizetype sources = std::min(m_state.sources().size(), kMaxAskSources);
        const qreal chrome = kAskChromeHeight + kAskSourceRowHeight * qreal(sources);
        return {360, chrome + m_askTextHeight + kPanelPadding};
    }
    case Kind::notice:
    case Kind::actionConfirmation:
        return {320, 44};
    case Kind::error:
        return {470, 44};
    case Kind::idle:
        if (m_expanded)
            return {m_transformShortcutVisible ? 170.0 : 86.0, 40};
        return {210, 40};
    case Kind::recording:
        return {176, 48};
    case Kind::askRecording:
        return {226, 50};
    case Kind::signInRequired:
        return {360, 52};
    case Kind::hidden:
    case Kind::processing:
    case Kind::done:
        return {210, 40};
    }
    return {210, 40};
}

bool IndicatorController::acceptsMouse() const
{
    switch (m_state.kind()) {
    case Kind::signInRequired:
    case Kind::idle:
    case Kind::recording:
    case Kind::askRecording:
    case Kind::result:
    case Kind::askAnswer:
        return true;
    default:
        return false;
    }
}

QPointF IndicatorController::origin(IndicatorPosition position, QSizeF panel, QRectF screenGeometry,
                                    QRectF availableGeometry)
{
    const qreal x = screenGeometry.center().x() - panel.width() / 2;
    switch (position) {
    case IndicatorPosition::topMiddle:
        return {x, availableGeometry.top() + screenMargin};
    case IndicatorPosition::bottomMiddle:
        return {x, availableGeometry.bottom() - panel.height() - screenMargin};
    }
    return {x, availableGeometry.bottom() - panel.height() - screenMargin};
}

QPointF IndicatorController::nearbyNotificationOrigin(IndicatorPosition position, QRectF indicatorFrame, QSizeF size,
                                                      QRectF screenGeometry)
{
    constexpr qreal gap = 8;
    const qreal x = indicatorFrame.center().x() - size.width() / 2;
    const qreal y = position == IndicatorPosition::topMiddle ? indicatorFrame.bottom() + gap
                                                             : indicatorFrame.top() - gap - size.height();
    const QRectF inside = screenGeometry.adjusted(screenMargin, screenMargin, -screenMargin, -screenMargin);
    return {std::clamp(x, inside.left(), std::max(inside.left(), inside.right() - size.width())),
            std::clamp(y, inside.top(), std::max(inside.top(), inside.bottom() - size.height()))};
}

// --- Hit regions -----------------------------------------------------------------

void IndicatorController::reportHitRect(IndicatorHitRegion region, QRectF rect)
{
    std::erase_if(m_hitRects, [region](const auto &entry) { return entry.first == region; });
    m_hitRects.emplace_back(region, rect);
}

std::optional<IndicatorHitRegion> IndicatorController::regionAt(QPointF point) const
{
    for (auto it = m_hitRects.rbegin(); it != m_hitRects.rend(); ++it) {
        if (isRegionActive(it->first) && it->second.contains(point))
            return it->first;
    }
    return std::nullopt;
}

bool IndicatorController::isRegionActive(IndicatorHitRegion region) const
{
    using R = IndicatorHitRegion;
    switch (m_state.kind()) {
    case Kind::idle:
        switch (region) {
        case R::bar:
            return true;
        case R::cluster:
        case R::mic:
        case R::transforms:
            return m_expanded;
        case R::concise:
        case R::allTransforms:
            return m_expanded && m_transformShortcutVisible;
        default:
            return false;
        }
    case Kind::recording:
    case Kind::askRecording:
        return region == R::cancel || region == R::confirm;
    case Kind::result:
        return region == R::transcript || region == R::close || region == R::copyText;
    case Kind::askAnswer:
        switch (region) {
        case R::transcript:
        case R::close:
        case R::copyText:
            return true;
        case R::sourceOne:
            return !m_state.sources().isEmpty();
        case R::sourceTwo:
            return m_state.sources().size() >= 2;
        default:
            return false;
        }
    default:
        // signInRequired included: its view handles its own clicks.
        return false;
    }
}

// --- Expansion and hover -----------------------------------------------------------

void IndicatorController::expand()
{
    if (m_state.kind() != Kind::idle || m_expanded)
        return;
    m_hoverExpandTask.cancel();
    m_autoCollapseTask.cancel();
    m_expanded = true;
    info(QStringLiteral("Indicator expanded into control cluster"));
    Q_EMIT geometryChanged();
}

void IndicatorController::collapse()
{
    if (!m_expanded)
        return;
    clearExpansion();
    info(QStringLiteral("Indicator collapsed"));
    Q_EMIT geometryChanged();
}

void IndicatorController::toggleExpansion()
{
    if (m_expanded)
        collapse();
    else
        expand();
}

void IndicatorController::clearExpansion()
{
    m_hoverExpandTask.cancel();
    m_autoCollapseTask.cancel();
    m_expanded = false;
    m_transformShortcutVisible = false;
}

void IndicatorController::holdCollapsedUntilCursorLeaves()
{
    m_suppressHoverExpandUntilExit = true;
}

void IndicatorController::indicatorHoverChanged(std::optional<IndicatorHitRegion> region)
{
    if (region == m_hoveredRegion)
        return;
    m_hoveredRegion = region;
    if (!region) {
        m_suppressHoverExpandUntilExit = false;
        m_hoverExpandTask.cancel();
        if (m_expanded)
            arm(m_autoCollapseTask, hoverCollapseDelay, &IndicatorController::autoCollapseDue);
        return;
    }
    m_autoCollapseTask.cancel();
    if (*region == IndicatorHitRegion::bar && m_state.kind() == Kind::idle && !m_expanded &&
        !m_suppressHoverExpandUntilExit)
        arm(m_hoverExpandTask, hoverExpandDelay, &IndicatorController::hoverExpandDue);
}

void IndicatorController::hoverExpandDue()
{
    if (m_hoveredRegion == IndicatorHitRegion::bar && !m_suppressHoverExpandUntilExit)
        expand();
}

void IndicatorController::autoCollapseDue()
{
    if (!m_hoveredRegion)
        collapse();
}

// --- Clicks ------------------------------------------------------------------------

void IndicatorController::indicatorClicked(IndicatorHitRegion region)
{
    // A click that lands after the state moved on (the view's press began in
    // an earlier state) must not act on the new one.
    if (!isRegionActive(region))
        return;

    // Copied first: a callback may replace itself.
    const auto call = [](std::function<void()> callback) {
        if (callback)
            callback();
    };

    using R = IndicatorHitRegion;
    switch (region) {
    case R::bar:
        if (m_expanded)
            holdCollapsedUntilCursorLeaves();
        toggleExpansion();
        break;
    case R::cluster:
        holdCollapsedUntilCursorLeaves();
        collapse();
        break;
    case R::mic:
        info(QStringLiteral("Control cluster: dictate tapped"));
        holdCollapsedUntilCursorLeaves();
        collapse();
        call(onDictateTapped);
        break;
    case R::concise:
        info(QStringLiteral("Control cluster: concise tapped"));
        holdCollapsedUntilCursorLeaves();
        collapse();
        call(onConciseTapped);
        break;
    case R::allTransforms:
        info(QStringLiteral("Control cluster: all transforms tapped"));
        holdCollapsedUntilCursorLeaves();
        collapse();
        call(onTransformsTapped);
        break;
    case R::transforms:
        info(QStringLiteral("Control cluster: transforms tapped"));
        if (m_expanded && !m_transformShortcutVisible) {
            m_transformShortcutVisible = true;
            Q_EMIT geometryChanged();
        }
        break;
    case R::cancel:
        info(QStringLiteral("Recording pill: discard tapped"));
        call(onCancelTapped);
        break;
    case R::confirm:
        info(QStringLiteral("Recording pill: confirm tapped"));
        call(onConfirmTapped);
        break;
    case R::close:
        dismissResult();
        break;
    case R::copyText:
        copyResult();
        break;
    case R::sourceOne:
        openSource(0);
        break;
    case R::sourceTwo:
        openSource(1);
        break;
    case R::bluetoothMicrophone:
    case R::systemMicrophone:
    case R::transcript:
        break;
    }
}

void IndicatorController::openSource(qsizetype index)
{
    const QList<AssistantSource> &sources = m_state.sources();
    if (index >= sources.size() || !onAskSourceTapped)
        return;
    const auto callback = onAskSourceTapped;
    callback(sources.at(index).url);
}

// --- Result panels -----------------------------------------------------------------

void IndicatorController::copyResult()
{
    clearResultCountdown();
    const QString text = m_state.text();
    if (copyToClipboard) {
        const auto copy = copyToClipboard;
        copy(text);
    }
    m_didCopy = true;
    info(QStringLiteral("Result panel: copied %1 chars to the clipboard").arg(text.size()));
    Q_EMIT stateChanged();
    arm(m_resultDismissTask, resultDismissAfterCopy, &IndicatorController::dismissAfterCopyDue);
}

void IndicatorController::dismissAfterCopyDue()
{
    if (isResultPanel())
        dismissResult();
}

void IndicatorController::dismissResult()
{
    info(QStringLiteral("Result panel dismissed"));
    present(IndicatorState::idle(), std::nullopt);
}

void IndicatorController::setResultCountdown(std::optional<int> seconds)
{
    if (seconds == m_resultCountdown)
        return;
    m_resultCountdown = seconds;
    Q_EMIT countdownChanged();
}

void IndicatorController::startResultCountdown()
{
    ++m_resultCountdownGeneration;
    setResultCountdown(resultCountdownSeconds);
    const std::stop_token token = m_resultCountdownTask.renew();
    m_tasks.track(countdownTimer(QPointer(this), token, m_scheduler, m_resultCountdownGeneration));
}

void IndicatorController::clearResultCountdown()
{
    m_resultCountdownTask.cancel();
    setResultCountdown(std::nullopt);
}

bool IndicatorController::countdownTick(quint64 generation)
{
    if (generation != m_resultCountdownGeneration || !m_resultCountdown)
        return false;
    const int left = *m_resultCountdown - 1;
    setResultCountdown(left);
    if (left > 0)
        return true;
    if (isResultPanel())
        dismissResult();
    return false;
}

// --- Timers ------------------------------------------------------------------------

void IndicatorController::arm(CancellableSlot &slot, Millis delay, void (IndicatorController::*due)())
{
    const std::stop_token token = slot.renew();
    m_tasks.track(delayedCall(QPointer(this), token, m_scheduler, delay, due));
}

QCoro::Task<> IndicatorController::delayedCall(QPointer<IndicatorController> weak, std::stop_token token,
                                               Scheduler &scheduler, Millis delay, void (IndicatorController::*due)())
{
    co_await scheduler.sleep(delay, token); // a cancelled sleep falls through to the checks
    if (!weak || token.stop_requested())
        co_return;
    (weak.data()->*due)();
}

QCoro::Task<> IndicatorController::countdownTimer(QPointer<IndicatorController> weak, std::stop_token token,
                                                  Scheduler &scheduler, quint64 generation)
{
    for (;;) {
        co_await scheduler.sleep(kCountdownStep, token); // a cancelled sleep falls through to the checks
        if (!weak || token.stop_requested() || !weak->countdownTick(generation))
            co_return;
    }
}

// --- Settings ------------------------------------------------------------------------

bool IndicatorController::alwaysVisible() const
{
    return m_defaults.boolValue(kAlwaysVisibleKey, kAlwaysVisibleDefault);
}

void IndicatorController::setAlwaysVisible(bool visible)
{
    m_defaults.set(kAlwaysVisibleKey, visible);
    info(
        QStringLiteral("Indicator alwaysVisible → %1").arg(visible ? QStringLiteral("true") : QStringLiteral("false")));
    // Presenting again applies the new rule to the quiet states.
    if (m_state.kind() == Kind::hidden || m_state.kind() == Kind::idle)
        present(m_state, std::nullopt);
}

IndicatorPosition IndicatorController::position() const
{
    const QString stored = m_defaults.string(kPositionKey).value_or(QString());
    for (const IndicatorPosition candidate : {IndicatorPosition::topMiddle, IndicatorPosition::bottomMiddle}) {
        if (stored == toString(candidate))
            return candidate;
    }
    return kPositionDefault;
}

void IndicatorController::setPosition(IndicatorPosition position)
{
    m_defaults.set(kPositionKey, toString(position));
    Q_EMIT geometryChanged();
}

WaveformStyle IndicatorController::waveformStyle() const
{
    const QString stored = m_defaults.string(kWaveformStyleKey).value_or(QString());
    for (const WaveformStyle candidate : {WaveformStyle::bars, WaveformStyle::wave, WaveformStyle::spectrum}) {
        if (stored == toString(candidate))
            return candidate;
    }
    return kWaveformStyleDefault;
}

void IndicatorController::setWaveformStyle(WaveformStyle style)
{
    m_defaults.set(kWaveformStyleKey, toString(style));
    Q_EMIT waveformStyleChanged();
}

} // namespace dravelin
