#include "output/AudioPlaybackController.h"

#include "audio/AACFileWriter.h"
#include "core/Log.h"
#include "core/Scheduler.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace dravelin {

namespace {

void error(const QString &message)
{
    logs::error(logs::audioPlayback(), message);
}

} // namespace

AudioPlaybackController::AudioPlaybackController(AudioOutput &output, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_output(output)
    , m_scheduler(scheduler)
{}

AudioPlaybackController::~AudioPlaybackController()
{
    if (m_player)
        m_player->stop();
}

void AudioPlaybackController::toggle(const QUuid &id, const QString &path)
{
    if (m_activeID == id && m_player) {
        if (m_player->isPlaying()) {
            m_player->pause();
            m_playing = false;
        } else if (!m_player->play()) {
            error(QStringLiteral("Resuming playback failed"));
            stop();
            return;
        } else {
            m_playing = true;
        }
        Q_EMIT stateChanged();
        return;
    }

    stop();
    const QString fileName = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error(QStringLiteral("Can't open recording %1: %2").arg(fileName, file.errorString()));
        return;
    }
    auto samples = decodeAudio(file.readAll());
    if (!samples) {
        error(QStringLiteral("Can't open recording %1: %2").arg(fileName, samples.error()));
        return;
    }
    QString why;
    auto player = m_output.load(std::move(*samples), 16000, &why);
    if (!player) {
        error(QStringLiteral("Can't open recording %1: %2").arg(fileName, why));
        return;
    }
    const quint64 generation = ++m_generation;
    QPointer<AudioPlaybackController> self(this);
    Scheduler *scheduler = &m_scheduler;
    auto lastError = std::make_shared<std::optional<QString>>();
    player->onError = [lastError](const QString &message) { *lastError = message; };
    player->onFinished = [self, scheduler, generation, lastError](bool completed) {
        scheduler->postFromAnyThread([self, generation, lastError, completed] {
            if (!self)
                return;
            std::optional<QString> failure = *lastError;
            if (!completed && !failure)
                failure = QStringLiteral("unknown");
            self->ended(generation, failure);
        });
    };
    if (!player->play()) {
        error(QStringLiteral("Playback refused to start for %1").arg(fileName));
        player->stop();
        return;
    }
    m_player = std::move(player);
    m_activeID = id;
    m_playing = true;
    Q_EMIT stateChanged();
}

void AudioPlaybackController::stop()
{
    if (!m_player && !m_activeID)
        return;
    ++m_generation; // late callbacks of this player are ignored
    if (m_player)
        m_player->stop();
    m_player.reset();
    m_activeID.reset();
    m_playing = false;
    Q_EMIT stateChanged();
}

void AudioPlaybackController::stopUnlessAmong(const std::set<QUuid> &ids)
{
    if (m_activeID && !ids.count(*m_activeID))
        stop();
}

void AudioPlaybackController::ended(quint64 generation, std::optional<QString> failure)
{
    if (generation != m_generation || !m_player)
        return;
    if (failure)
        error(QStringLiteral("Playback decode error: %1").arg(*failure));
    stop();
}

} // namespace dravelin
