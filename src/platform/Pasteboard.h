#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

namespace dravelin {

// One clipboard item: every format it offers (a MIME type) with its data.
using PasteboardItem = QMap<QString, QByteArray>;
// Everything on the clipboard, item by item; empty when the clipboard is.
using PasteboardSnapshot = QList<PasteboardItem>;

// The system clipboard (the X11 CLIPBOARD selection on Linux).
class Pasteboard
{
public:
    virtual ~Pasteboard() = default;

    virtual std::optional<QString> string() const = 0;
    virtual void clearContents() = 0;
    virtual void setString(const QString &text) = 0;
    // Advances whenever the clipboard's owner or contents change.
    virtual qint64 changeCount() const = 0;
    virtual PasteboardSnapshot snapshot() const = 0;
    // Clears the clipboard and writes the snapshot's items back.
    virtual void restore(const PasteboardSnapshot &snapshot) = 0;
    // The primary selection (the last text selected, which X11 terminals such
    // as xterm paste): its text, and replacing it.
    virtual std::optional<QString> selectionString() const { return std::nullopt; }
    // How often other applications have read what we last put on the
    // clipboard or the primary selection; nothing where that cannot be seen.
    virtual std::optional<int> fetchCount() const { return std::nullopt; }
    virtual void setSelectionString(const QString &) {}
};

} // namespace dravelin
