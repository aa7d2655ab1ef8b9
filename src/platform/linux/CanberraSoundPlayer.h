#pragma once

#include "platform/SoundPlayer.h"

#include <QObject>

#include <unordered_map>

struct ca_context;

namespace dravelin::nix {

// Event sounds through libcanberra, looked up by freedesktop sound-theme name.
class CanberraSoundPlayer final : public QObject, public SoundPlayer
{
    Q_OBJECT
public:
    explicit CanberraSoundPlayer(QObject *parent = nullptr);
    ~CanberraSoundPlayer() override;

    QString soundLocation() const override;
    void play(const QString &name, Completion done) override;

private:
    void finish(quint32 id, int result);

    ca_context *m_context = nullptr;
    quint32 m_nextId = 1;
    std::unordered_map<quint32, Completion> m_pending;
};

} // namespace dravelin::nix
