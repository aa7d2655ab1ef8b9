#pragma once

#include "platform/Pasteboard.h"

#include <QObject>

#include <map>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace dravelin::nix {

class WaylandSession;

// The Wayland clipboard through the compositor's data-control interface
// (wlroots-based compositors offer it): unlike an ordinary client, Dravelin
// can read and set it without holding the keyboard focus, so the user's
// clipboard is put back after a paste.
//
// Reading another client's data waits for that client to write it: at most
// 250 ms per format and one second per snapshot, so a client that never
// answers costs a short pause and its data, never a hang. What could not be
// kept is logged.
class WaylandPasteboard final : public QObject, public Pasteboard
{
    Q_OBJECT
public:
    // The session must outlive this; it must offer data control and a seat.
    explicit WaylandPasteboard(WaylandSession &session, QObject *parent = nullptr);
    ~WaylandPasteboard() override;

    std::optional<QString> string() const override;
    void clearContents() override;
    void setString(const QString &text) override;
    qint64 changeCount() const override { return m_changes; }
    PasteboardSnapshot snapshot() const override;
    void restore(const PasteboardSnapshot &snapshot) override;
    std::optional<int> fetchCount() const override { return m_fetches; }
    std::optional<QString> selectionString() const override;
    void setSelectionString(const QString &text) override;

    // Listener entry points.
    void onDataOffer(zwlr_data_control_offer_v1 *offer);
    void onOfferFormat(zwlr_data_control_offer_v1 *offer, const char *mimeType);
    void onSelection(zwlr_data_control_offer_v1 *offer);
    void onPrimarySelection(zwlr_data_control_offer_v1 *offer);
    void onFinished();
    void onSend(zwlr_data_control_source_v1 *source, const char *mimeType, int fd);
    void onCancelled(zwlr_data_control_source_v1 *source);

private:
    zwlr_data_control_source_v1 *offer(const PasteboardItem &item);
    void own(const PasteboardItem &item);
    static PasteboardItem textItem(const QString &text);
    void forget(zwlr_data_control_offer_v1 *offer);
    // The offer's data in `mimeType`, or nothing when its owner did not
    // deliver it in time or it is larger than `limit` bytes.
    std::optional<QByteArray> receive(zwlr_data_control_offer_v1 *offer, const QString &mimeType, int timeoutMs,
                                      qint64 limit) const;

    WaylandSession &m_session;
    zwlr_data_control_device_v1 *m_device = nullptr;
    std::map<zwlr_data_control_offer_v1 *, QStringList> m_offers; // formats per announced offer
    zwlr_data_control_offer_v1 *m_current = nullptr;              // the clipboard, when another client owns it
    std::map<zwlr_data_control_source_v1 *, PasteboardItem> m_sources;
    zwlr_data_control_source_v1 *m_source = nullptr;        // ours, while it is the clipboard
    zwlr_data_control_offer_v1 *m_primary = nullptr;        // the primary selection, another client's
    zwlr_data_control_source_v1 *m_primarySource = nullptr; // ours, while it is the primary selection
    qint64 m_changes = 0;
    int m_fetches = 0;
};

} // namespace dravelin::nix
