#pragma once

#include "platform/Pasteboard.h"

#include <QObject>

#include <memory>

class QMimeData;

namespace dravelin::nix {

// The X11 CLIPBOARD selection through QClipboard (needs a QGuiApplication).
class QtPasteboard final : public QObject, public Pasteboard
{
    Q_OBJECT
public:
    // Aborts with a clear message when there is no QGuiApplication: Qt's
    // clipboard would crash on first use. Check canExist() first.
    explicit QtPasteboard(QObject *parent = nullptr);
    // Whether the process has a GUI application object to hold a clipboard.
    static bool canExist();

    std::optional<QString> string() const override;
    void clearContents() override;
    void setString(const QString &text) override;
    qint64 changeCount() const override { return m_changes; }
    PasteboardSnapshot snapshot() const override;
    void restore(const PasteboardSnapshot &snapshot) override;
    std::optional<QString> selectionString() const override;
    void setSelectionString(const QString &text) override;
    std::optional<int> fetchCount() const override { return *m_fetches; }

private:
    QMimeData *trackedText(const QString &text);

    qint64 m_changes = 0;
    std::shared_ptr<int> m_fetches = std::make_shared<int>(0);
};

} // namespace dravelin::nix
