#include "platform/linux/wayland/WaylandPasteboard.h"

#include "core/Log.h"
#include "platform/linux/wayland/WaylandSession.h"

#include <QClipboard>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <wayland-client.h>
#include <wlr-data-control-unstable-v1-client.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace dravelin::nix {

namespace {

constexpr int kFormatTimeoutMs = 250;
constexpr int kSnapshotTimeoutMs = 1000;
constexpr qint64 kTextLimit = 16 * 1024 * 1024;
constexpr qint64 kSnapshotLimit = 64 * 1024 * 1024;
constexpr int kMaxFormats = 32;
constexpr int kWriterTimeoutMs = 10000;

// The names text goes by on the clipboard, best first.
const QStringList &textFormats()
{
    static const QStringList formats{QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("UTF8_STRING"),
                                     QStringLiteral("text/plain"), QStringLiteral("STRING"), QStringLiteral("TEXT")};
    return formats;
}

// Text one of our own windows put on the clipboard through Qt: Qt answers for
// it on the main thread, so asking for it through the compositor would wait
// on ourselves.
std::optional<QString> ownWindowsText()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()) ||
        !QGuiApplication::clipboard()->ownsClipboard())
        return std::nullopt;
    return QGuiApplication::clipboard()->text();
}

WaylandPasteboard *self(void *data)
{
    return static_cast<WaylandPasteboard *>(data);
}

const zwlr_data_control_offer_v1_listener kOfferListener{
    [](void *data, zwlr_data_control_offer_v1 *offer, const char *mime) { self(data)->onOfferFormat(offer, mime); }};

const zwlr_data_control_device_v1_listener kDeviceListener{
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        self(data)->onDataOffer(offer);
    },
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        self(data)->onSelection(offer);
    },
    [](void *data, zwlr_data_control_device_v1 *) { self(data)->onFinished(); },
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        self(data)->onPrimarySelection(offer);
    }};

const zwlr_data_control_source_v1_listener kSourceListener{
    [](void *data, zwlr_data_control_source_v1 *source, const char *mime, int32_t fd) {
        self(data)->onSend(source, mime, fd);
    },
    [](void *data, zwlr_data_control_source_v1 *source) { self(data)->onCancelled(source); }};

// Writes `bytes` into a pipe another client reads, as fast as it reads, then
// closes it; a reader that goes away ends the write.
class PipeWriter final : public QObject
{
public:
    PipeWriter(int fd, QByteArray bytes, QObject *parent)
        : QObject(parent)
        , m_fd(fd)
        , m_bytes(std::move(bytes))
        , m_notifier(fd, QSocketNotifier::Write, this)
    {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        connect(&m_notifier, &QSocketNotifier::activated, this, &PipeWriter::write);
        // A reader that neither reads nor closes does not keep the data forever.
        QTimer::singleShot(kWriterTimeoutMs, this, &QObject::deleteLater);
        write();
    }
    ~PipeWriter() override { close(m_fd); }

private:
    void write()
    {
        while (m_written < m_bytes.size()) {
            const ssize_t n = ::write(m_fd, m_bytes.constData() + m_written, size_t(m_bytes.size() - m_written));
            if (n > 0) {
                m_written += n;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return; // the notifier calls again when the reader has read
            break;
        }
        m_notifier.setEnabled(false);
        deleteLater();
    }

    int m_fd;
    QByteArray m_bytes;
    qint64 m_written = 0;
    QSocketNotifier m_notifier;
};

} // namespace

WaylandPasteboard::WaylandPasteboard(WaylandSession &session, QObject *parent) : QObject(parent), m_session(session)
{
    // A reader that closes its end before we have written everything must
    // cost that write, not the process (the default for SIGPIPE).
    std::signal(SIGPIPE, SIG_IGN);
    m_device = zwlr_data_control_manager_v1_get_data_device(session.dataControl(), session.seat());
    zwlr_data_control_device_v1_add_listener(m_device, &kDeviceListener, this);
    // The current clipboard arrives at once.
    session.roundtrip();
}

WaylandPasteboard::~WaylandPasteboard()
{
    for (const auto &[offer, formats] : m_offers)
        zwlr_data_control_offer_v1_destroy(offer);
    for (const auto &[source, item] : m_sources)
        zwlr_data_control_source_v1_destroy(source);
    if (m_device)
        zwlr_data_control_device_v1_destroy(m_device);
    m_session.flush();
}

void WaylandPasteboard::onDataOffer(zwlr_data_control_offer_v1 *offer)
{
    m_offers[offer];
    zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, this);
}

void WaylandPasteboard::onOfferFormat(zwlr_data_control_offer_v1 *offer, const char *mimeType)
{
    QStringList &formats = m_offers[offer];
    if (formats.size() < kMaxFormats)
        formats << QString::fromUtf8(mimeType);
}

void WaylandPasteboard::onSelection(zwlr_data_control_offer_v1 *offer)
{
    if (m_current && m_current != offer && m_current != m_primary)
        forget(m_current);
    m_current = offer;
    ++m_changes;
}

void WaylandPasteboard::onPrimarySelection(zwlr_data_control_offer_v1 *offer)
{
    if (m_primary && m_primary != offer && m_primary != m_current)
        forget(m_primary);
    m_primary = offer;
}

void WaylandPasteboard::onFinished()
{
    logs::error(logs::paste(), QStringLiteral("Wayland clipboard: the compositor ended our access to it"));
    zwlr_data_control_device_v1_destroy(m_device);
    m_device = nullptr;
    m_current = nullptr;
    m_primary = nullptr;
    m_source = nullptr;
    m_primarySource = nullptr;
}

void WaylandPasteboard::forget(zwlr_data_control_offer_v1 *offer)
{
    zwlr_data_control_offer_v1_destroy(offer);
    m_offers.erase(offer);
}

void WaylandPasteboard::onSend(zwlr_data_control_source_v1 *source, const char *mimeType, int fd)
{
    const auto it = m_sources.find(source);
    if (it == m_sources.end()) {
        close(fd);
        return;
    }
    if (source == m_source)
        ++m_fetches;
    new PipeWriter(fd, it->second.value(QString::fromUtf8(mimeType)), this);
}

void WaylandPasteboard::onCancelled(zwlr_data_control_source_v1 *source)
{
    if (source == m_source)
        m_source = nullptr;
    if (source == m_primarySource)
        m_primarySource = nullptr;
    m_sources.erase(source);
    zwlr_data_control_source_v1_destroy(source);
}

zwlr_data_control_source_v1 *WaylandPasteboard::offer(const PasteboardItem &item)
{
    zwlr_data_control_source_v1 *source = zwlr_data_control_manager_v1_create_data_source(m_session.dataControl());
    zwlr_data_control_source_v1_add_listener(source, &kSourceListener, this);
    for (auto it = item.begin(); it != item.end(); ++it)
        zwlr_data_control_source_v1_offer(source, it.key().toUtf8().constData());
    m_sources[source] = item;
    return source;
}

void WaylandPasteboard::own(const PasteboardItem &item)
{
    if (!m_device)
        return;
    m_source = offer(item);
    zwlr_data_control_device_v1_set_selection(m_device, m_source);
    m_fetches = 0;
    m_session.flush();
}

PasteboardItem WaylandPasteboard::textItem(const QString &text)
{
    PasteboardItem item;
    const QByteArray utf8 = text.toUtf8();
    for (const QString &format : textFormats())
        item.insert(format, utf8);
    return item;
}

std::optional<QString> WaylandPasteboard::selectionString() const
{
    if (m_primarySource)
        return QString::fromUtf8(m_sources.at(m_primarySource).value(textFormats().first()));
    if (!m_primary || !m_session.isAlive())
        return std::nullopt;
    const QStringList &formats = m_offers.at(m_primary);
    for (const QString &format : textFormats())
        if (formats.contains(format))
            if (auto bytes = receive(m_primary, format, kFormatTimeoutMs, kTextLimit))
                return QString::fromUtf8(*bytes);
    return std::nullopt;
}

void WaylandPasteboard::setSelectionString(const QString &text)
{
    // The primary selection came with the interface's second version.
    if (!m_device || zwlr_data_control_device_v1_get_version(m_device) < 2) {
        logs::error(logs::paste(), QStringLiteral("Wayland clipboard: this compositor cannot set the primary "
                                                  "selection — Shift+Insert pastes what was selected before"));
        return;
    }
    m_primarySource = offer(textItem(text));
    zwlr_data_control_device_v1_set_primary_selection(m_device, m_primarySource);
    m_session.flush();
}

void WaylandPasteboard::setString(const QString &text)
{
    own(textItem(text));
}

void WaylandPasteboard::clearContents()
{
    if (!m_device)
        return;
    zwlr_data_control_device_v1_set_selection(m_device, nullptr);
    m_source = nullptr; // its cancellation follows
    m_session.flush();
}

std::optional<QString> WaylandPasteboard::string() const
{
    if (!m_session.isAlive())
        return std::nullopt;
    if (m_source) {
        const PasteboardItem &owned = m_sources.at(m_source);
        for (const QString &format : textFormats())
            if (owned.contains(format))
                return QString::fromUtf8(owned.value(format));
        return std::nullopt;
    }
    if (auto text = ownWindowsText())
        return text;
    if (!m_current)
        return std::nullopt;
    const QStringList &formats = m_offers.at(m_current);
    for (const QString &format : textFormats()) {
        if (formats.contains(format)) {
            if (auto bytes = receive(m_current, format, kFormatTimeoutMs, kTextLimit))
                return QString::fromUtf8(*bytes);
            logs::error(logs::paste(), QStringLiteral("Wayland clipboard: its owner did not hand over its text"));
            return std::nullopt;
        }
    }
    return std::nullopt;
}

PasteboardSnapshot WaylandPasteboard::snapshot() const
{
    if (m_source)
        return {m_sources.at(m_source)};
    if (auto text = ownWindowsText())
        return {PasteboardItem{{textFormats().first(), text->toUtf8()}}};
    if (!m_current)
        return {};
    PasteboardItem item;
    QStringList lost;
    qint64 budget = kSnapshotLimit;
    const QDeadlineTimer deadline(kSnapshotTimeoutMs);
    for (const QString &format : m_offers.at(m_current)) {
        const int left = int(deadline.remainingTime());
        std::optional<QByteArray> bytes;
        if (left > 0 && budget > 0)
            bytes = receive(m_current, format, std::min(left, kFormatTimeoutMs), budget);
        if (!bytes) {
            lost << format;
            continue;
        }
        budget -= bytes->size();
        item.insert(format, *bytes);
    }
    if (!lost.isEmpty())
        logs::error(logs::paste(), QStringLiteral("Wayland clipboard: %1 could not be kept and will not come back "
                                                  "after the paste")
                                       .arg(lost.join(QStringLiteral(", "))));
    return item.isEmpty() ? PasteboardSnapshot{} : PasteboardSnapshot{item};
}

void WaylandPasteboard::restore(const PasteboardSnapshot &snapshot)
{
    if (snapshot.isEmpty() || snapshot.first().isEmpty())
        clearContents();
    else
        own(snapshot.first());
}

std::optional<QByteArray> WaylandPasteboard::receive(zwlr_data_control_offer_v1 *offer, const QString &mimeType,
                                                     int timeoutMs, qint64 limit) const
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    zwlr_data_control_offer_v1_receive(offer, mimeType.toUtf8().constData(), fds[1]);
    close(fds[1]);
    m_session.flush();
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    char chunk[65536];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break; // timed out
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // Nothing at all: the owner went away or could not answer; an
            // empty string put back would replace the user's clipboard.
            close(fds[0]);
            return data.isEmpty() ? std::nullopt : std::optional<QByteArray>(data);
        }
        if (n < 0 || data.size() + n > limit)
            break;
        data.append(chunk, n);
    }
    close(fds[0]);
    return std::nullopt;
}

} // namespace dravelin::nix
