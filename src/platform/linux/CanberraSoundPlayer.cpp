#include "platform/linux/CanberraSoundPlayer.h"

#include <QMetaObject>

#include <canberra.h>

namespace dravelin::nix {

namespace {

SoundPlayer::Outcome outcomeFor(int result)
{
    switch (result) {
    case CA_SUCCESS:
    case CA_ERROR_CANCELED:
        return SoundPlayer::Outcome::played;
    case CA_ERROR_NOTFOUND:
        return SoundPlayer::Outcome::notFound;
    default:
        return SoundPlayer::Outcome::failed;
    }
}

} // namespace

CanberraSoundPlayer::CanberraSoundPlayer(QObject *parent) : QObject(parent)
{
    if (ca_context_create(&m_context) != CA_SUCCESS) {
        m_context = nullptr;
        return;
    }
    ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "Dravelin", CA_PROP_APPLICATION_ID, "com.dravelin.mac",
                            nullptr);
}

CanberraSoundPlayer::~CanberraSoundPlayer()
{
    // Destroying the context stops playback and its callbacks before we go.
    if (m_context)
        ca_context_destroy(m_context);
}

QString CanberraSoundPlayer::soundLocation() const
{
    return QStringLiteral("/usr/share/sounds");
}

void CanberraSoundPlayer::play(const QString &name, Completion done)
{
    if (!m_context) {
        if (done)
            done(Outcome::failed, QStringLiteral("libcanberra is unavailable"));
        return;
    }
    const quint32 id = m_nextId++;
    ca_proplist *props = nullptr;
    ca_proplist_create(&props);
    ca_proplist_sets(props, CA_PROP_EVENT_ID, name.toUtf8().constData());
    ca_proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "permanent");

    m_pending.emplace(id, std::move(done));
    const int result = ca_context_play_full(
        m_context, id, props,
        [](ca_context *, uint32_t soundId, int error, void *userdata) {
            // Called on libcanberra's own thread: hand the outcome to the main thread.
            auto *player = static_cast<CanberraSoundPlayer *>(userdata);
            QMetaObject::invokeMethod(
                player, [player, soundId, error] { player->finish(soundId, error); }, Qt::QueuedConnection);
        },
        this);
    ca_proplist_destroy(props);
    if (result != CA_SUCCESS)
        finish(id, result); // not started; a late callback finds nothing pending
}

void CanberraSoundPlayer::finish(quint32 id, int result)
{
    auto it = m_pending.find(id);
    if (it == m_pending.end())
        return;
    Completion done = std::move(it->second);
    m_pending.erase(it);
    if (done)
        done(outcomeFor(result), QString::fromUtf8(ca_strerror(result)));
}

} // namespace dravelin::nix
