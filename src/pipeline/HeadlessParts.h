#pragma once

// What stands in for a desktop facility where a program runs without one (the
// command line, a machine with no X display): nothing is grabbed, played or
// pasted, and the indicator's states are logged.

#include "core/Log.h"
#include "hotkeys/HotkeyHandling.h"
#include "indicator/IndicatorPresenting.h"
#include "output/Pasting.h"
#include "platform/SoundPlayer.h"

namespace dravelin {

// Remembers and logs what the indicator would show.
class RecordedIndicator final : public IndicatorPresenting
{
public:
    void present(const IndicatorState &shown, std::optional<Millis>) override
    {
        state = shown;
        last = shown.describe();
        logs::debug(logs::indicator(), QStringLiteral("Indicator: %1").arg(last));
    }
    void hide() override
    {
        state = IndicatorState::hidden();
        last = QStringLiteral("hidden");
    }
    QString last = QStringLiteral("hidden");
    IndicatorState state = IndicatorState::hidden();
};

// No global hotkeys: the caller drives the pipeline.
class NoHotkeys final : public HotkeyHandling, public TransformHotkeyRegistering
{
public:
    HotkeyCallbacks &callbacks() override { return m_callbacks; }
    void registerHotkeys() override {}
    void registerCancelHotkey() override {}
    void unregisterCancelHotkey() override {}
    void resetAskGesture() override {}
    void registerTransformHotkey(QUuid, std::optional<HotkeyBinding>, std::function<void(QUuid)>) override {}

private:
    HotkeyCallbacks m_callbacks;
};

class SilentSounds final : public SoundPlayer
{
public:
    QString soundLocation() const override { return {}; }
    void play(const QString &, Completion done) override
    {
        if (done)
            done(Outcome::played, {});
    }
};

// Without a desktop nothing can be pasted: the text is presented.
class PresentOnly final : public Pasting
{
public:
    QCoro::Task<> paste(QString, std::optional<QString>, bool) override { co_return; }
    QCoro::Task<bool> replacePastedText(QString, QString, std::optional<QString>, bool) override { co_return false; }
    QCoro::Task<EditableFocus> focusedEditableTarget(std::optional<QString>) override
    {
        co_return EditableFocus::notEditable;
    }
    QCoro::Task<> waitForModifiersToClear() override { co_return; }
};

} // namespace dravelin
