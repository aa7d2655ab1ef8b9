#pragma once

#include "stt/TranscriptionTypes.h"

#include <qcoro/qcorotask.h>

namespace dravelin {

// The single-shot transcription client as the pipeline sees it.
class Transcribing
{
public:
    virtual ~Transcribing() = default;
    // Opens the connection ahead of the request, without waiting for it.
    virtual void warmUp() = 0;
    virtual QCoro::Task<Expected<TranscriptionResponse, TranscriptionError>>
    transcribe(TranscriptionRequest request) = 0;
};

} // namespace dravelin
