#pragma once

namespace dravelin::server {

class FunctionRoutes;
class Router;

// The live transcription WebSocket, /transcribe-stream. The client opens it
// with its bearer token (and `vocab` query items as spelling hints), sends a
// start message, 16-bit PCM frames as binary messages while the user speaks,
// and {"type":"finalize"} at the end. The server answers with "partial"
// texts as recognition goes along, then "raw" (the transcript) and "final"
// (cleaned when asked, with the recording grant), and closes. Problems are
// answered with {"type":"error","message":…} and the socket is closed.
void installLiveTranscription(Router &router, FunctionRoutes &functions);

} // namespace dravelin::server
