#include "ui/IndicatorPanel.h"

#include "core/Log.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cmath>

namespace dravelin::ui {

namespace {

using Kind = IndicatorState::Kind;
using Region = IndicatorHitRegion;

constexpr int kButton = 26; // round buttons, pixels

} // namespace

IndicatorPanel::IndicatorPanel(IndicatorController &controller, std::function<void()> openSignIn, QWidget *parent)
    : QWidget(parent, kFloatingPanelFlags)
    , m_controller(controller)
    , m_openSignIn(std::move(openSignIn))
{
    makeFloatingPanel(*this, QStringLiteral("indicator"), QStringLiteral("Dravelin indicator"));

    // The busy dots and the waveform are drawn from these ticks; they run
    // only while something moves.
    m_animation = new QTimer(this);
    m_animation->setInterval(60);
    connect(m_animation, &QTimer::timeout, this, [this] {
        ++m_frame;
        update();
    });
    // Follows the pointer to another screen while shown.
    m_follow = new QTimer(this);
    m_follow->setInterval(250);
    connect(m_follow, &QTimer::timeout, this, &IndicatorPanel::reposition);

    connect(&m_controller, &IndicatorController::stateChanged, this, &IndicatorPanel::sync);
    connect(&m_controller, &IndicatorController::geometryChanged, this, &IndicatorPanel::sync);
    connect(&m_controller, &IndicatorController::countdownChanged, this, qOverload<>(&QWidget::update));
    connect(&m_controller, &IndicatorController::levelsChanged, this, [this] {
        if (m_controller.state().kind() == Kind::recording || m_controller.state().kind() == Kind::askRecording)
            update();
    });
    connect(&m_controller, &IndicatorController::visibilityChanged, this, [this](bool) { sync(); });
    sync();
}

void IndicatorPanel::sync()
{
    const Kind kind = m_controller.state().kind();
    m_dark = palette().color(QPalette::Window).lightness() < 128;
    if (!m_controller.isShown()) {
        m_animation->stop();
        m_follow->stop();
        if (m_surface) {
            m_frames->stop();
            m_surface->hide();
            m_lastFrame = QImage();
        }
        hide();
        return;
    }
    const QSize size = m_controller.panelSize().toSize();
    if (this->size() != size)
        resize(size);
    // Clicks outside the buttons (or with no buttons) go to the window below.
    // Changing the flag reconfigures the native window, so only on a change.
    const bool transparent = !m_controller.acceptsMouse();
    if (kind == Kind::processing)
        m_animation->start();
    else
        m_animation->stop();
    reportRegions();
    reposition();
    m_follow->start();
    if (m_surface) {
        m_surface->setAcceptsPointer(!transparent);
        m_frames->start();
        pushFrame();
        return;
    }
    if (QWindow *window = windowHandle();
        window && window->flags().testFlag(Qt::WindowTransparentForInput) != transparent)
        window->setFlag(Qt::WindowTransparentForInput, transparent);
    if (!isVisible()) {
        show();
        if (QWindow *window = windowHandle())
            window->setFlag(Qt::WindowTransparentForInput, transparent);
        raise();
        logs::debug(logs::indicator(), QStringLiteral("Indicator panel shown"));
    }
    update();
}

void makeFloatingPanel(QWidget &panel, const QString &name, const QString &title)
{
    panel.setObjectName(name);
    panel.setWindowTitle(title);
    panel.setAttribute(Qt::WA_ShowWithoutActivating);
    panel.setAttribute(Qt::WA_X11DoNotAcceptFocus);
    panel.setAttribute(Qt::WA_TranslucentBackground);
    panel.setFocusPolicy(Qt::NoFocus);
    panel.setMouseTracking(true);
}

std::optional<IndicatorPlacement> indicatorPlacement(const IndicatorController &controller)
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return std::nullopt;
    const QSizeF size = controller.panelSize();
    const QPointF origin =
        IndicatorController::origin(controller.position(), size, screen->geometry(), screen->availableGeometry());
    return IndicatorPlacement{screen, QRectF(origin, size).toRect()};
}

void IndicatorPanel::useFloatingSurface(FloatingSurface &surface)
{
    m_surface = &surface;
    // The waveform, the busy dots and hover changes are redrawn on these
    // ticks; an unchanged frame is not sent again.
    m_frames = new QTimer(this);
    m_frames->setInterval(50);
    connect(m_frames, &QTimer::timeout, this, &IndicatorPanel::pushFrame);
    surface.onPointer = [this](const FloatingSurface::PointerEvent &event) { onSurfacePointer(event); };
    hide();
    sync();
}

void IndicatorPanel::pushFrame()
{
    if (!m_surface || !m_controller.isShown())
        return;
    QImage frame(size(), QImage::Format_ARGB32_Premultiplied);
    frame.fill(Qt::transparent);
    {
        QPainter painter(&frame);
        render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
    }
    if (frame == m_lastFrame && m_surface->isShown())
        return;
    m_lastFrame = frame;
    m_surface->show(frame, m_surfaceOffset, m_surfaceScreen);
}

void IndicatorPanel::onSurfacePointer(const FloatingSurface::PointerEvent &event)
{
    using PointerKind = FloatingSurface::PointerEvent::Kind;
    const QPointF at = event.position;
    switch (event.kind) {
    case PointerKind::enter:
    case PointerKind::motion: {
        QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        mouseMoveEvent(&move);
        break;
    }
    case PointerKind::leave: {
        QEvent leave(QEvent::Leave);
        leaveEvent(&leave);
        break;
    }
    case PointerKind::press: {
        QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        mousePressEvent(&press);
        break;
    }
    case PointerKind::release: {
        QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        mouseReleaseEvent(&release);
        break;
    }
    }
    pushFrame();
}

void IndicatorPanel::reposition()
{
    const auto placement = indicatorPlacement(m_controller);
    if (!placement)
        return;
    if (m_surface) {
        m_surfaceOffset = placement->frame.topLeft() - placement->screen->geometry().topLeft();
        m_surfaceScreen = placement->screen->name();
        return;
    }
    const QPoint origin = placement->frame.topLeft();
    if (pos() != origin) {
        move(origin);
        logs::debug(logs::indicator(), QStringLiteral("Reposition → origin=(%1, %2)  pos=%3  screen=%4x%5")
                                           .arg(origin.x())
                                           .arg(origin.y())
                                           .arg(toString(m_controller.position()))
                                           .arg(placement->screen->geometry().width())
                                           .arg(placement->screen->geometry().height()));
    }
}

QRectF IndicatorPanel::textRect() const
{
    return QRectF(rect()).adjusted(16, 12, -16, -44);
}

QRectF IndicatorPanel::signInButtonRect() const
{
    return QRectF(width() - 96, (height() - 28) / 2.0, 84, 28);
}

void IndicatorPanel::reportRegions()
{
    const QRectF r(rect());
    const qreal mid = r.height() / 2.0;
    const auto button = [&](qreal x) { return QRectF(x, mid - kButton / 2.0, kButton, kButton); };
    switch (m_controller.state().kind()) {
    case Kind::idle:
        m_controller.reportHitRect(Region::bar, QRectF(r.center().x() - 30, mid - 8, 60, 16));
        if (m_controller.isExpanded()) {
            m_controller.reportHitRect(Region::cluster, r);
            m_controller.reportHitRect(Region::mic, button(12));
            m_controller.reportHitRect(Region::transforms, button(48));
            if (m_controller.isTransformShortcutVisible()) {
                m_controller.reportHitRect(Region::concise, button(90));
                m_controller.reportHitRect(Region::allTransforms, button(128));
            }
        }
        break;
    case Kind::recording:
    case Kind::askRecording:
        m_controller.reportHitRect(Region::cancel, button(10));
        m_controller.reportHitRect(Region::confirm, button(r.width() - 10 - kButton));
        break;
    case Kind::result:
    case Kind::askAnswer: {
        m_controller.reportHitRect(Region::transcript, textRect());
        m_controller.reportHitRect(Region::copyText, QRectF(16, r.height() - 36, 72, 26));
        m_controller.reportHitRect(Region::close, QRectF(r.width() - 16 - 72, r.height() - 36, 72, 26));
        const auto &sources = m_controller.state().sources();
        for (qsizetype i = 0; i < std::min<qsizetype>(sources.size(), 2); ++i)
            m_controller.reportHitRect(i == 0 ? Region::sourceOne : Region::sourceTwo,
                                       QRectF(16, textRect().bottom() - 28.0 * (2 - i), r.width() - 32, 24));
        // The text's height decides the panel's.
        const QFontMetrics metrics(font());
        const int textWidth = static_cast<int>(r.width()) - 32;
        const qreal height =
            metrics.boundingRect(QRect(0, 0, textWidth, 10000), Qt::TextWordWrap, m_controller.state().text()).height();
        if (m_controller.state().kind() == Kind::result)
            m_controller.reportResultTextHeight(height);
        else
            m_controller.reportAskResultTextHeight(height);
        break;
    }
    default:
        break;
    }
}

void IndicatorPanel::paintPill(QPainter &p, const QRectF &r) const
{
    QPainterPath path;
    path.addRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), std::min(r.height() / 2.0, 14.0),
                        std::min(r.height() / 2.0, 14.0));
    p.setPen(QPen(m_dark ? QColor(255, 255, 255, 40) : QColor(0, 0, 0, 45), 1));
    p.setBrush(m_dark ? QColor(30, 30, 34, 240) : QColor(252, 252, 253, 245));
    p.drawPath(path);
}

void IndicatorPanel::paintButton(QPainter &p, const QRectF &r, const QString &glyph, bool hovered) const
{
    p.setPen(Qt::NoPen);
    p.setBrush(hovered ? QColor(120, 120, 128, 110) : QColor(120, 120, 128, 55));
    p.drawEllipse(r);
    p.setPen(m_dark ? Qt::white : QColor(30, 30, 34));
    p.drawText(r, Qt::AlignCenter, glyph);
}

void IndicatorPanel::paintWaveform(QPainter &p, const QRectF &area) const
{
    const auto &levels = m_controller.levelHistory();
    const int count = static_cast<int>(levels.size());
    const QColor ink = m_dark ? QColor(236, 236, 238) : QColor(40, 40, 46);
    const qreal mid = area.center().y();
    switch (m_controller.waveformStyle()) {
    case WaveformStyle::bars: {
        const qreal step = area.width() / count;
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        for (int i = 0; i < count; ++i) {
            const qreal h = std::max(2.0, static_cast<double>(levels[static_cast<size_t>(i)]) * area.height());
            p.drawRoundedRect(QRectF(area.left() + i * step + step * 0.2, mid - h / 2, step * 0.6, h), 1, 1);
        }
        break;
    }
    case WaveformStyle::wave: {
        QPainterPath path;
        for (int i = 0; i < count; ++i) {
            const qreal x = area.left() + area.width() * i / (count - 1);
            const qreal amplitude = levels[static_cast<size_t>(i)] * area.height() / 2;
            const qreal y = mid + amplitude * std::sin(i * 1.3);
            i == 0 ? path.moveTo(x, y) : path.lineTo(x, y);
        }
        p.setPen(QPen(ink, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
        break;
    }
    case WaveformStyle::spectrum: {
        const qreal step = area.width() / count;
        for (int i = 0; i < count; ++i) {
            const qreal level = levels[static_cast<size_t>(i)];
            QColor c = QColor::fromHsvF(0.55 - 0.5 * std::min(1.0, level * 1.5), 0.7, m_dark ? 0.95 : 0.75);
            p.setPen(Qt::NoPen);
            p.setBrush(c);
            const qreal h = std::max(2.0, level * area.height());
            p.drawRect(QRectF(area.left() + i * step, area.bottom() - h, step - 1, h));
        }
        break;
    }
    }
}

void IndicatorPanel::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(rect());
    const IndicatorState &state = m_controller.state();
    const auto hovered = m_controller.hoveredRegion();
    const QColor ink = m_dark ? QColor(236, 236, 238) : QColor(30, 30, 34);
    const qreal mid = r.height() / 2.0;
    const auto button = [&](qreal x) { return QRectF(x, mid - kButton / 2.0, kButton, kButton); };
    // The first frame of each state, for measuring how soon the pill reacts.
    if (m_painted != state.kind()) {
        m_painted = state.kind();
        logs::debug(logs::indicator(), QStringLiteral("Indicator frame: %1").arg(state.describe().section(u'(', 0, 0)));
    }

    switch (state.kind()) {
    case Kind::hidden:
        return;
    case Kind::idle:
        if (m_controller.isExpanded()) {
            paintPill(p, r);
            paintButton(p, button(12), QStringLiteral("🎙"), hovered == Region::mic);
            paintButton(p, button(48), QStringLiteral("✎"), hovered == Region::transforms);
            if (m_controller.isTransformShortcutVisible()) {
                paintButton(p, button(90), QStringLiteral("≡"), hovered == Region::concise);
                paintButton(p, button(128), QStringLiteral("…"), hovered == Region::allTransforms);
            }
        } else {
            paintPill(p, QRectF(r.center().x() - 24, mid - 4, 48, 8));
        }
        return;
    case Kind::recording:
    case Kind::askRecording:
        paintPill(p, r);
        paintButton(p, button(10), QStringLiteral("✕"), hovered == Region::cancel);
        paintButton(p, button(r.width() - 10 - kButton), QStringLiteral("✓"), hovered == Region::confirm);
        paintWaveform(p, QRectF(10 + kButton + 8, 10, r.width() - 2 * (10 + kButton + 8), r.height() - 20));
        return;
    case Kind::processing:
    case Kind::done: {
        paintPill(p, r);
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 3; ++i) {
            const qreal phase = state.kind() == Kind::done ? 1.0 : 0.5 + 0.5 * std::sin(m_frame * 0.35 - i * 0.9);
            QColor dot = ink;
            dot.setAlphaF(0.35 + 0.65 * phase);
            p.setBrush(dot);
            p.drawEllipse(QPointF(r.center().x() - 14 + i * 14, mid), 3.5, 3.5);
        }
        return;
    }
    case Kind::signInRequired: {
        paintPill(p, r);
        p.setPen(ink);
        p.drawText(r.adjusted(18, 0, -104, 0), Qt::AlignVCenter | Qt::AlignLeft,
                   QStringLiteral("Sign in to start dictating"));
        const QRectF b = signInButtonRect();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(76, 141, 246));
        p.drawRoundedRect(b, 8, 8);
        p.setPen(Qt::white);
        p.drawText(b, Qt::AlignCenter, QStringLiteral("Sign in"));
        return;
    }
    case Kind::notice:
    case Kind::actionConfirmation:
    case Kind::error: {
        paintPill(p, r);
        const bool error = state.kind() == Kind::error;
        p.setPen(Qt::NoPen);
        p.setBrush(error ? QColor(226, 68, 68) : QColor(76, 141, 246));
        p.drawEllipse(QPointF(20, mid), 5, 5);
        p.setPen(ink);
        // A message too long for one line wraps onto two in a smaller type
        // rather than losing its end (errors often say what to do next).
        const QRectF line = r.adjusted(34, 0, -14, 0);
        if (p.fontMetrics().horizontalAdvance(state.text()) <= line.width()) {
            p.drawText(line, Qt::AlignVCenter | Qt::AlignLeft, state.text());
        } else {
            QFont small = p.font();
            small.setPointSizeF(small.pointSizeF() * 0.88);
            p.setFont(small);
            p.drawText(line.adjusted(0, 3, 0, -3), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, state.text());
        }
        return;
    }
    case Kind::result:
    case Kind::askAnswer: {
        paintPill(p, r);
        p.setPen(ink);
        // A result's text sits in the middle of the space above the buttons;
        // an answer's starts at the top, its sources below it.
        p.drawText(textRect(),
                   Qt::TextWordWrap | Qt::AlignLeft | (state.kind() == Kind::result ? Qt::AlignVCenter : Qt::AlignTop),
                   state.text());
        const auto &sources = state.sources();
        for (qsizetype i = 0; i < std::min<qsizetype>(sources.size(), 2); ++i) {
            const QRectF line(16, textRect().bottom() - 28.0 * (2 - i), r.width() - 32, 24);
            p.setPen(QColor(76, 141, 246));
            p.drawText(
                line, Qt::AlignVCenter | Qt::AlignLeft,
                p.fontMetrics().elidedText(sources[i].title.isEmpty() ? sources[i].url.toString() : sources[i].title,
                                           Qt::ElideRight, static_cast<int>(line.width())));
        }
        const QRectF copy(16, r.height() - 36, 72, 26);
        const QRectF close(r.width() - 16 - 72, r.height() - 36, 72, 26);
        for (const auto &[rectangle, label, region] :
             {std::tuple{copy, m_controller.didCopy() ? QStringLiteral("Copied") : QStringLiteral("Copy"),
                         Region::copyText},
              std::tuple{close, QStringLiteral("Close"), Region::close}}) {
            p.setPen(Qt::NoPen);
            p.setBrush(hovered == region ? QColor(120, 120, 128, 110) : QColor(120, 120, 128, 55));
            p.drawRoundedRect(rectangle, 8, 8);
            p.setPen(ink);
            p.drawText(rectangle, Qt::AlignCenter, label);
        }
        if (const auto seconds = m_controller.resultCountdown()) {
            QColor faint = ink;
            faint.setAlphaF(0.55);
            p.setPen(faint);
            p.drawText(QRectF(copy.right(), copy.top(), close.left() - copy.right(), copy.height()), Qt::AlignCenter,
                       QStringLiteral("Closes in %1 s").arg(*seconds));
        }
        return;
    }
    }
}

void IndicatorPanel::changeEvent(QEvent *event)
{
    // Light or dark follows the application's palette.
    if (event->type() == QEvent::PaletteChange && m_controller.isShown())
        sync();
    QWidget::changeEvent(event);
}

void IndicatorPanel::mousePressEvent(QMouseEvent *event)
{
    m_pressed = m_controller.viewHandlesClicks() ? std::nullopt : m_controller.regionAt(event->position());
    if (m_pressed)
        logs::debug(logs::indicator(), QStringLiteral("Indicator mouseDown → region=%1 at (%2, %3)")
                                           .arg(toString(*m_pressed))
                                           .arg(event->position().x())
                                           .arg(event->position().y()));
}

void IndicatorPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_controller.viewHandlesClicks()) {
        if (signInButtonRect().contains(event->position()) && m_openSignIn)
            m_openSignIn();
        return;
    }
    const auto released = m_controller.regionAt(event->position());
    const auto pressed = std::exchange(m_pressed, std::nullopt);
    if (!pressed)
        return;
    if (released != pressed) {
        logs::debug(logs::indicator(),
                    QStringLiteral("Indicator mouseUp → released outside the pressed region; click cancelled"));
        return;
    }
    logs::info(logs::indicator(), QStringLiteral("Indicator click → region=%1").arg(toString(*released)));
    m_controller.indicatorClicked(*released);
}

void IndicatorPanel::mouseMoveEvent(QMouseEvent *event)
{
    m_controller.indicatorHoverChanged(m_controller.regionAt(event->position()));
    update();
}

void IndicatorPanel::leaveEvent(QEvent *)
{
    m_controller.indicatorHoverChanged(std::nullopt);
    update();
}

} // namespace dravelin::ui
