#pragma once

namespace dravelin {

// The single-shot transcription client as the pipeline sees it.
class Transcribing
{
public:
    virtual ~Transcribing() = default;
    // Opens the connection ahead of the request, without waiting for it.
    virtual void warmUp() = 0;
};

} // namespace dravelin
