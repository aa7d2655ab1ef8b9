#include "ui/RebindDialog.h"

#include "hotkeys/HotkeyService.h"
#include "platform/linux/MacKeyCodes.h"
#include "ui/ShortcutText.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace dravelin::ui {

std::optional<quint16> virtualKey(const QKeyEvent &event)
{
    // X11 key codes are the Linux input codes plus 8.
    const auto native = static_cast<int>(event.nativeScanCode());
    if (native <= 8)
        return std::nullopt;
    return nix::virtualKeyFromEvdev(native - 8);
}

ShortcutField::ShortcutField(bool allowsBareModifier, HotkeyBinding initial, const KeyboardLayout *layout,
                             QWidget *parent)
    : QFrame(parent)
    , m_capture(allowsBareModifier, initial)
    , m_layout(layout)
{
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(260, 44);
    setAccessibleName(QStringLiteral("Shortcut"));
}

quint64 ShortcutField::heldFlags() const
{
    quint64 flags = 0;
    for (quint16 key : m_heldModifiers)
        flags |= eventFlag::of(key);
    return flags;
}

bool ShortcutField::event(QEvent *event)
{
    // Tab and Backtab are shortcuts like any other while recording.
    if (event->type() == QEvent::KeyPress) {
        keyPressEvent(static_cast<QKeyEvent *>(event));
        return true;
    }
    return QFrame::event(event);
}

void ShortcutField::keyPressEvent(QKeyEvent *event)
{
    const auto key = virtualKey(*event);
    if (!key || (event->isAutoRepeat() && HotkeyBinding::isModifierKeyCode(*key))) {
        event->ignore();
        return;
    }
    bool consumed = false;
    if (HotkeyBinding::isModifierKeyCode(*key)) {
        m_heldModifiers.insert(*key);
        consumed = m_capture.flagsChanged(*key, heldFlags());
    } else {
        consumed = m_capture.keyDown(*key, heldFlags());
    }
    event->setAccepted(consumed);
    changed();
}

void ShortcutField::keyReleaseEvent(QKeyEvent *event)
{
    const auto key = virtualKey(*event);
    if (!key || event->isAutoRepeat() || !HotkeyBinding::isModifierKeyCode(*key)) {
        event->ignore();
        return;
    }
    m_heldModifiers.erase(*key);
    event->setAccepted(m_capture.flagsChanged(*key, heldFlags()));
    changed();
}

void ShortcutField::fnChanged(bool down)
{
    if (!hasFocus())
        return;
    m_capture.fnChanged(down);
    changed();
}

void ShortcutField::focusInEvent(QFocusEvent *event)
{
    m_heldModifiers.clear();
    QFrame::focusInEvent(event);
    update();
}

void ShortcutField::focusOutEvent(QFocusEvent *event)
{
    m_heldModifiers.clear();
    QFrame::focusOutEvent(event);
    update();
}

void ShortcutField::changed()
{
    update();
    Q_EMIT draftChanged();
}

void ShortcutField::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter p(this);
    const HotkeyBinding &binding = m_capture.binding();
    QString text;
    if (binding.keyCode != keycode::none || binding.modifiers != 0)
        text = shortcutText(binding, m_layout);
    const bool placeholder = text.isEmpty();
    if (placeholder)
        text = hasFocus() ? rebind::placeholder() : QStringLiteral("Click to record a shortcut");
    QFont font = p.font();
    font.setPointSizeF(font.pointSizeF() * (placeholder ? 1.0 : 1.4));
    p.setFont(font);
    p.setPen(palette().color(placeholder ? QPalette::PlaceholderText : QPalette::Text));
    p.drawText(rect(), Qt::AlignCenter, text);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 2));
        p.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

RebindDialog::RebindDialog(RebindTarget target, HotkeyBinding initial, rebind::ConflictFinder conflict,
                           HotkeyService *hotkeys, const KeyboardLayout *layout, QWidget *parent)
    : QDialog(parent)
    , m_target(std::move(target))
    , m_conflict(std::move(conflict))
    , m_hotkeys(hotkeys)
{
    setWindowTitle(rebind::title());
    setMinimumWidth(440);
    auto *layoutBox = new QVBoxLayout(this);
    layoutBox->setContentsMargins(20, 18, 20, 14);
    layoutBox->setSpacing(10);
    auto *title = new QLabel(rebind::title(), this);
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    title->setFont(bold);
    layoutBox->addWidget(title);
    auto *subtitle = new QLabel(rebind::subtitle(m_target), this);
    subtitle->setWordWrap(true);
    layoutBox->addWidget(subtitle);

    m_field = new ShortcutField(rebind::allowsBareModifier(m_target), initial, layout, this);
    layoutBox->addWidget(m_field);
    m_hint = new QLabel(this);
    m_hint->setWordWrap(true);
    layoutBox->addWidget(m_hint);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    m_save = buttons->button(QDialogButtonBox::Save);
    // The buttons must not take keys from the recorder.
    for (QAbstractButton *button : buttons->buttons())
        button->setFocusPolicy(Qt::NoFocus);
    layoutBox->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_field, &ShortcutField::draftChanged, this, &RebindDialog::refresh);
    if (m_hotkeys) {
        m_hotkeys->setKeyCaptureActive(true);
        connect(m_hotkeys, &HotkeyService::fnKeyChanged, m_field, &ShortcutField::fnChanged);
    }
    m_field->setFocus();
    refresh();
}

RebindDialog::~RebindDialog()
{
    if (m_hotkeys)
        m_hotkeys->setKeyCaptureActive(false);
}

void RebindDialog::refresh()
{
    const auto state = rebind::saveState(m_target, m_field->draft(), m_conflict);
    m_save->setEnabled(state.enabled);
    m_hint->setText(state.hint.value_or(QString()));
    m_hint->setVisible(state.hint.has_value());
}

} // namespace dravelin::ui
