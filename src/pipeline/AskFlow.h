#pragma once

#include "audio/DictationCapture.h"
#include "pipeline/PipelineCollaborators.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <optional>

namespace dravelin {

struct AssistantError;

// Answering a spoken question: the question taken from the capture (the live
// final text, the live raw text, the on-device text, else the audio sent for
// a plain transcription), asked, and the answer shown on the indicator with at
// most two sources — or the safe page it asks for opened. Nothing is pasted
// and nothing goes to the retry queue. The pipeline owns the state around it.
// Main-thread only.
class AskFlow final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxSourcesShown = 2;

    explicit AskFlow(PipelineCollaborators &collaborators, QObject *parent = nullptr);

    QCoro::Task<> answer(DictationCapture capture, std::optional<QString> liveRawText,
                         std::optional<QString> captureBundleID);

    void handleAssistantError(const AssistantError &error);

private:
    void noQuestion();

    PipelineCollaborators &m_c;
};

} // namespace dravelin
