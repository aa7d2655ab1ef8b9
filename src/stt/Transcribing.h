#pragma once

#include "stt/TranscriptionTypes.h"

#include <qcoro/qcorotask.h>

#include <memory>

namespace dravelin {

class TranscriptionStream;

// The transcription client as the pipeline sees it.
class Transcribing
{
public:
    virtual ~Transcribing() = default;
    // Opens the connection ahead of the request, without waiting for it.
    virtual void warmUp() = 0;
    virtual QCoro::Task<Expected<TranscriptionResponse, TranscriptionError>>
    transcribe(TranscriptionRequest request) = 0;
    // The same upload answered as a stream of events: the raw text first,
    // the cleaned text after it.
    virtual std::unique_ptr<TranscriptionStream> transcribeStreaming(TranscriptionRequest request) = 0;
};

} // namespace dravelin
