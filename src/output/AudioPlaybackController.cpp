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

AudioPlaybackController::AudioPlaybackController(AudioOutput &output, Scheduler &scheduler, const QueueFactory &queues,
                                                 QObject *parent)
    : QObject(parent)
    , m_output(output)
    , m_scheduler(scheduler)
    , m_queue(queues(QStringLiteral("com.dravelin.playback")))
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

    if (m_activeID == id && m_loading)
        return; // already on its way
    stop();
    m_activeID = id;
    m_loading = true;
    Q_EMIT stateChanged();
    m_tasks.track(start(path, ++m_generation));
}

QCoro::Task<> AudioPlaybackController::start(QString path, quint64 generation)
{
    struct Loaded
    {
        std::unique_ptr<AudioPlayback> player;
        QString error;
    };
    AudioOutput *output = &m_output;
    auto load = [path, output]() -> Loaded {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {nullptr, file.errorString()};
        auto samples = decodeAudio(file.readAll());
        if (!samples)
            return {nullptr, samples.error()};
        QString why;
        auto player = output->load(std::move(*samples), 16000, &why);
        return {std::move(player), why};
    };
    QPointer<AudioPlaybackController> self(this);
    Loaded loaded = co_await onQueue(*m_queue, m_scheduler, std::move(load));
    if (!self || generation != m_generation) { // stopped, or another entry meanwhile
        if (loaded.player)
            loaded.player->stop();
        co_return;
    }
    m_loading = false;
    const QString fileName = QFileInfo(path).fileName();
    if (!loaded.player) {
        error(QStringLiteral("Can't open recording %1: %2").arg(fileName, loaded.error));
        stop();
        co_return;
    }
    std::unique_ptr<AudioPlayback> player = std::move(loaded.player);
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
        stop();
        co_return;
    }
    m_player = std::move(player);
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
    m_loading = false;
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
