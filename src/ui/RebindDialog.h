#pragma once

#include "hotkeys/HotkeyCapture.h"
#include "hotkeys/RebindRules.h"

#include <QDialog>
#include <QFrame>

#include <set>

class QLabel;
class QPushButton;

namespace dravelin {
class HotkeyService;
class KeyboardLayout;
} // namespace dravelin

namespace dravelin::ui {

// The shortcut recorder: a field that, while it has the keyboard focus, turns
// the keys pressed into a draft binding (Escape alone clears it).
class ShortcutField final : public QFrame
{
    Q_OBJECT
public:
    ShortcutField(bool allowsBareModifier, HotkeyBinding initial, const KeyboardLayout *layout,
                  QWidget *parent = nullptr);

    const HotkeyBinding &draft() const { return m_capture.binding(); }
    // The Fn-role key went down or up.
    void fnChanged(bool down);

Q_SIGNALS:
    void draftChanged();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    quint64 heldFlags() const;
    void changed();

    HotkeyCapture m_capture;
    const KeyboardLayout *m_layout;
    std::set<quint16> m_heldModifiers;
};

// "Capture new shortcut": the recorder with the rules of the target (required
// modifiers, bare modifiers, conflicts); Save hands the draft on.
class RebindDialog final : public QDialog
{
    Q_OBJECT
public:
    RebindDialog(RebindTarget target, HotkeyBinding initial, rebind::ConflictFinder conflict, HotkeyService *hotkeys,
                 const KeyboardLayout *layout, QWidget *parent = nullptr);
    ~RebindDialog() override;

    HotkeyBinding draft() const { return m_field->draft(); }

private:
    void refresh();

    RebindTarget m_target;
    rebind::ConflictFinder m_conflict;
    HotkeyService *m_hotkeys;
    ShortcutField *m_field = nullptr;
    QLabel *m_hint = nullptr;
    QPushButton *m_save = nullptr;
};

// The virtual key code of a Qt key event (from its X11 key code).
std::optional<quint16> virtualKey(const QKeyEvent &event);

} // namespace dravelin::ui
