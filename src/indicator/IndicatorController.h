#pragma once

#include "core/Scheduler.h"
#include "core/Tasks.h"
#include "indicator/IndicatorPresenting.h"
#include "indicator/IndicatorState.h"

#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <array>
#include <functional>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

namespace dravelin {

class UserDefaults;

// Where on the screen the indicator sits (setting "indicator.position").
enum class IndicatorPosition {
    topMiddle,
    bottomMiddle,
};

// How the recording pill draws the input level (setting "waveform.style").
enum class WaveformStyle {
    bars,
    wave,
    spectrum,
};

// The clickable areas the indicator's views report.
enum class IndicatorHitRegion {
    bar,                 // the idle pill
    cluster,             // the background of the expanded control cluster
    mic,                 // cluster: dictate
    transforms,          // cluster: reveals the transforms shortcut
    concise,             // transforms shortcut: concise rewrite
    allTransforms,       // transforms shortcut: every transform
    cancel,              // recording pill: discard
    confirm,             // recording pill: stop and deliver
    close,               // result panels: dismiss
    copyText,            // result panels: copy the text
    sourceOne,           // Ask answer: first source
    sourceTwo,           // Ask answer: second source
    bluetoothMicrophone, // the microphone prompt beside the indicator
    systemMicrophone,    // the microphone prompt beside the indicator
    transcript,          // the text area of a result panel
};

// "topMiddle", "bars", "copyText": the settings values and the names used in logs.
QString toString(IndicatorPosition position);
QString toString(WaveformStyle style);
QString toString(IndicatorHitRegion region);

// The floating indicator's state and behaviour, apart from any drawing: what it
// shows, how large it is, when it fades, the result countdown, hover expansion
// of the idle pill, and what its clickable regions do. A view draws it, reports
// the rectangles of its regions and the region under the cursor, and follows the
// signals below. The indicator never takes keyboard focus: the user keeps typing
// into the application being dictated into.
//
// All waiting goes through the Scheduler. Main-thread only.
class IndicatorController final : public QObject, public IndicatorPresenting
{
    Q_OBJECT
public:
    static constexpr int levelHistoryLength = 32;
    static constexpr qreal minTextHeight = 18;
    static constexpr qreal maxResultTextHeight = 104;
    static constexpr qreal maxAskTextHeight = 112;
    static constexpr Millis resultDismissAfterCopy{700};
    static constexpr int resultCountdownSeconds = 5;
    static constexpr Millis hoverExpandDelay{100};
    static constexpr Millis hoverCollapseDelay{500};
    // Space between the indicator and the edge of the usable screen area.
    static constexpr qreal screenMargin = 4;

    IndicatorController(UserDefaults &defaults, Scheduler &scheduler, QObject *parent = nullptr);
    ~IndicatorController() override;

    // IndicatorPresenting. `hidden` shows the idle pill while the indicator is
    // always visible, and `idle` hides it when it is not.
    void present(const IndicatorState &state, std::optional<Millis> fadeAfter = std::nullopt) override;
    void hide() override;

    // How long `state` stays before fading to idle when no fade is given.
    static std::optional<Millis> defaultFade(IndicatorState::Kind kind);

    const IndicatorState &state() const { return m_state; }
    bool isShown() const { return m_state.kind() != IndicatorState::Kind::hidden; }
    bool isExpanded() const { return m_expanded; }
    bool isTransformShortcutVisible() const { return m_transformShortcutVisible; }
    bool didCopy() const { return m_didCopy; }
    // Seconds left before a result panel closes itself; none without one.
    std::optional<int> resultCountdown() const { return m_resultCountdown; }
    std::optional<IndicatorHitRegion> hoveredRegion() const { return m_hoveredRegion; }

    // The input levels, oldest first.
    const std::array<float, levelHistoryLength> &levelHistory() const { return m_levels; }
    void pushLevel(float level);

    // Text heights the result views measured; applied clamped, and only when
    // they differ by more than half a point (so layout rounding cannot loop).
    qreal resultTextHeight() const { return m_resultTextHeight; }
    qreal askResultTextHeight() const { return m_askTextHeight; }
    void reportResultTextHeight(qreal height);
    void reportAskResultTextHeight(qreal height);

    // The panel's size for the current state and expansion.
    QSizeF panelSize() const;
    // Whether the panel takes mouse clicks inside its regions; when false every
    // click passes through to the window below.
    bool acceptsMouse() const;
    // In signInRequired the view handles clicks on its own controls and no
    // region is active.
    bool viewHandlesClicks() const { return m_state.kind() == IndicatorState::Kind::signInRequired; }
    // Top-left corner of a panel of `panel` size, horizontally centred on the
    // screen and kept 4 px inside the available area (which excludes docks and
    // panels that reserve screen space), in Qt's top-left-origin coordinates.
    static QPointF origin(IndicatorPosition position, QSizeF panel, QRectF screenGeometry, QRectF availableGeometry);
    // Top-left corner of a notification of `size` shown beside the indicator
    // at `indicatorFrame`: centred on it, 8 px below it when the indicator is
    // at the top (above it at the bottom), kept 4 px inside the screen.
    static QPointF nearbyNotificationOrigin(IndicatorPosition position, QRectF indicatorFrame, QSizeF size,
                                            QRectF screenGeometry);

    // Hit testing. Views report each region's rectangle in panel coordinates,
    // in painting order: a region reported later lies on top of earlier ones.
    // Only the regions of the current state take part in the lookup.
    void reportHitRect(IndicatorHitRegion region, QRectF rect);
    std::optional<IndicatorHitRegion> regionAt(QPointF point) const;

    // Idle pill expansion into the control cluster.
    void expand();
    void collapse();
    void toggleExpansion();
    // Hovering does not expand the pill again until the cursor has left it.
    void holdCollapsedUntilCursorLeaves();

    // From the view: a completed click inside `region`, and the region under
    // the cursor (none once the cursor left the panel).
    void indicatorClicked(IndicatorHitRegion region);
    void indicatorHoverChanged(std::optional<IndicatorHitRegion> region);

    // Settings.
    bool alwaysVisible() const;
    void setAlwaysVisible(bool visible);
    IndicatorPosition position() const;
    void setPosition(IndicatorPosition position);
    WaveformStyle waveformStyle() const;
    void setWaveformStyle(WaveformStyle style);

    // Set by the pipeline and the composition root.
    std::function<void()> onDictateTapped;
    std::function<void()> onTransformsTapped;
    std::function<void()> onConciseTapped;
    std::function<void()> onCancelTapped;
    std::function<void()> onConfirmTapped;
    std::function<void(QUrl)> onAskSourceTapped;
    // Puts plain text on the system clipboard.
    std::function<void(QString)> copyToClipboard;

Q_SIGNALS:
    // What is shown changed: the state or the copied mark.
    void stateChanged();
    // The panel's size, the expansion or the screen position changed.
    void geometryChanged();
    void levelsChanged();
    void countdownChanged();
    void waveformStyleChanged();
    void visibilityChanged(bool shown);

private:
    bool isResultPanel() const;
    bool isRegionActive(IndicatorHitRegion region) const;
    void setResultCountdown(std::optional<int> seconds);
    void startResultCountdown();
    void clearResultCountdown();
    bool countdownTick(quint64 generation);
    void arm(CancellableSlot &slot, Millis delay, void (IndicatorController::*due)());
    void fadeDue();
    void dismissAfterCopyDue();
    void clearExpansion();
    void copyResult();
    void dismissResult();
    void openSource(qsizetype index);
    void hoverExpandDue();
    void autoCollapseDue();
    void applyTextHeight(qreal &current, qreal reported, qreal max, const QString &logFormat);
    void emitGeometryIfChanged(QSizeF before);

    // Timers: each holds the controller weakly and returns when its token was
    // stopped, so a superseded timer never acts.
    static QCoro::Task<> countdownTimer(QPointer<IndicatorController> weak, std::stop_token token, Scheduler &scheduler,
                                        quint64 generation);
    static QCoro::Task<> delayedCall(QPointer<IndicatorController> weak, std::stop_token token, Scheduler &scheduler,
                                     Millis delay, void (IndicatorController::*due)());

    UserDefaults &m_defaults;
    Scheduler &m_scheduler;
    TaskTracker m_tasks;

    IndicatorState m_state = IndicatorState::hidden();
    bool m_expanded = false;
    bool m_transformShortcutVisible = false;
    bool m_didCopy = false;
    bool m_suppressHoverExpandUntilExit = false;
    std::optional<IndicatorHitRegion> m_hoveredRegion;
    std::optional<int> m_resultCountdown;
    quint64 m_resultCountdownGeneration = 0;
    qreal m_resultTextHeight = minTextHeight;
    qreal m_askTextHeight = minTextHeight;
    std::array<float, levelHistoryLength> m_levels{};
    std::vector<std::pair<IndicatorHitRegion, QRectF>> m_hitRects; // in report order

    CancellableSlot m_autoHideTask;
    CancellableSlot m_autoCollapseTask;
    CancellableSlot m_hoverExpandTask;
    CancellableSlot m_resultDismissTask;
    CancellableSlot m_resultCountdownTask;
};

} // namespace dravelin
