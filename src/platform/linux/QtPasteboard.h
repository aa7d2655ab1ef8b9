#pragma once

#include "platform/Pasteboard.h"

#include <QObject>

namespace dravelin::nix {

// The X11 CLIPBOARD selection through QClipboard (needs a QGuiApplication).
class QtPasteboard final : public QObject, public Pasteboard
{
    Q_OBJECT
public:
    explicit QtPasteboard(QObject *parent = nullptr);

    std::optional<QString> string() const override;
    void clearContents() override;
    void setString(const QString &text) override;
    qint64 changeCount() const override { return m_changes; }
    PasteboardSnapshot snapshot() const override;
    void restore(const PasteboardSnapshot &snapshot) override;

private:
    qint64 m_changes = 0;
};

} // namespace dravelin::nix
