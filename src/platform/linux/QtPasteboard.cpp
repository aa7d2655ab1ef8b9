#include "platform/linux/QtPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace dravelin::nix {

namespace {

// Text we own on a selection, counting the reads other applications make:
// Qt answers every X11 selection request for it through retrieveData().
class TrackedText final : public QMimeData
{
public:
    explicit TrackedText(std::shared_ptr<int> fetches) : m_fetches(std::move(fetches)) {}

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override
    {
        ++*m_fetches;
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    std::shared_ptr<int> m_fetches;
};

} // namespace

QMimeData *QtPasteboard::trackedText(const QString &text)
{
    auto *data = new TrackedText(m_fetches);
    data->setText(text);
    return data;
}

bool QtPasteboard::canExist()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

QtPasteboard::QtPasteboard(QObject *parent) : QObject(parent)
{
    if (!canExist())
        qFatal("QtPasteboard needs a QGuiApplication: a QCoreApplication has no clipboard");
    // Qt learns of a new owner through XFixes selection events.
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard)
            ++m_changes;
    });
}

std::optional<QString> QtPasteboard::string() const
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

std::optional<QString> QtPasteboard::selectionString() const
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(QClipboard::Selection);
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

void QtPasteboard::setSelectionString(const QString &text)
{
    QGuiApplication::clipboard()->setMimeData(trackedText(text), QClipboard::Selection);
}

void QtPasteboard::clearContents()
{
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void QtPasteboard::setString(const QString &text)
{
    m_fetches = std::make_shared<int>(0);
    QGuiApplication::clipboard()->setMimeData(trackedText(text), QClipboard::Clipboard);
}

PasteboardSnapshot QtPasteboard::snapshot() const
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || data->formats().isEmpty())
        return {};
    PasteboardItem item;
    for (const QString &format : data->formats()) {
        const QByteArray bytes = data->data(format);
        if (!bytes.isEmpty())
            item.insert(format, bytes);
    }
    return {item};
}

void QtPasteboard::restore(const PasteboardSnapshot &snapshot)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    if (snapshot.isEmpty())
        return;
    // X11 has one item per selection; later items have nowhere to go.
    auto *data = new QMimeData;
    const PasteboardItem &item = snapshot.front();
    for (auto it = item.begin(); it != item.end(); ++it)
        data->setData(it.key(), it.value());
    clipboard->setMimeData(data, QClipboard::Clipboard);
}

} // namespace dravelin::nix
