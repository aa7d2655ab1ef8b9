#include "pipeline/AskFlow.h"

#include "core/Log.h"
#include "indicator/IndicatorPresenting.h"
#include "stt/Transcribing.h"
#include "stt/TranscriptionTypes.h"
#include "system/SoundFeedback.h"
#include "text/AssistantActions.h"
#include "text/AssistantService.h"

#include <QPointer>

namespace dravelin {

namespace {

void info(const QString &message)
{
    logs::info(logs::assistant(), message);
}

void error(const QString &message)
{
    logs::error(logs::assistant(), message);
}

} // namespace

AskFlow::AskFlow(PipelineCollaborators &collaborators, QObject *parent) : QObject(parent), m_c(collaborators) {}

void AskFlow::noQuestion()
{
    m_c.indicator.present(IndicatorState::notice(QStringLiteral("No question heard")));
    m_c.sounds.play(SoundFeedback::Cue::discard);
}

QCoro::Task<> AskFlow::answer(DictationCapture capture, std::optional<QString> liveRawText,
                              std::optional<QString> captureBundleID)
{
    QPointer self(this);
    std::optional<QString> question =
        AssistantTranscriptSelector::select(capture.liveText, liveRawText, capture.onDeviceText);
    if (!question && capture.audio && !capture.audio->isEmpty()) {
        TranscriptionRequest request;
        request.audio = *capture.audio;
        request.durationMs = capture.durationMs;
        request.appBundleID = captureBundleID;
        Transcribing &transcription = m_c.transcription;
        const auto response = co_await transcription.transcribe(std::move(request));
        if (!self)
            co_return;
        if (!response) {
            // Not the dictation's "retry from menu": a question is not kept.
            const auto kind = response.error().kind;
            if (kind == BackendError::Kind::notAuthenticated || kind == BackendError::Kind::unauthorized) {
                m_c.indicator.present(IndicatorState::signInRequired());
            } else {
                error(QStringLiteral("Ask batch transcription failed: %1").arg(response.error().description()));
                m_c.indicator.present(IndicatorState::error(QStringLiteral("Couldn't transcribe the question")));
            }
            m_c.sounds.play(SoundFeedback::Cue::error);
            co_return;
        }
        const QString text = response->text.trimmed();
        if (!text.isEmpty())
            question = text;
    }
    if (!question) {
        noQuestion();
        co_return;
    }
    if (!m_c.assistant || !m_c.actions) {
        error(QStringLiteral("Ask failed: no assistant in this program"));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Couldn't get an answer")));
        m_c.sounds.play(SoundFeedback::Cue::error);
        co_return;
    }
    info(QStringLiteral("Asking: %1").arg(logs::priv(*question)));
    AssistantAnswering &assistant = *m_c.assistant;
    const auto result = co_await assistant.ask(*question);
    if (!self)
        co_return;
    if (!result) {
        handleAssistantError(result.error());
        co_return;
    }
    if (const auto *answer = std::get_if<AssistantAnswer>(&*result)) {
        m_c.indicator.present(IndicatorState::askAnswer(answer->text, answer->sources.mid(0, kMaxSourcesShown)));
        co_return;
    }
    const auto &action = std::get<AssistantAction>(*result);
    if (m_c.actions->execute(action.url)) {
        m_c.indicator.present(IndicatorState::actionConfirmation(action.text));
    } else {
        m_c.indicator.present(IndicatorState::error(QStringLiteral("That action couldn't be opened safely")));
        m_c.sounds.play(SoundFeedback::Cue::error);
    }
}

void AskFlow::handleAssistantError(const AssistantError &failure)
{
    using Kind = AssistantError::Kind;
    switch (failure.kind) {
    case Kind::network:
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Network error — try again")));
        break;
    case Kind::decodingFailed:
    case Kind::unexpectedStatus:
    case Kind::emptyResponse:
        error(QStringLiteral("Ask failed: %1").arg(failure.description()));
        m_c.indicator.present(IndicatorState::error(QStringLiteral("Couldn't get an answer")));
        break;
    case Kind::notAuthenticated:
    case Kind::unauthorized:
        m_c.indicator.present(IndicatorState::signInRequired());
        break;
    case Kind::emptyQuery:
        m_c.indicator.present(IndicatorState::notice(QStringLiteral("No question heard")));
        break;
    }
    m_c.sounds.play(SoundFeedback::Cue::error);
}

} // namespace dravelin
