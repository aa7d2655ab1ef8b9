#pragma once

#include "ServerConfig.h"
#include "llm/LanguageModel.h"

#include <memory>

namespace dravelin::server {

// The language model the settings ask for: none (a null pointer) when the
// provider is "none", or "auto" finds no local model; an error when a
// provider that was asked for by name cannot be had.
Expected<std::unique_ptr<LanguageModel>, QString> makeLanguageModel(const LlmSettings &settings, Scheduler &scheduler);

// Where the local model and its worker are unless configured: the GGUF file
// from $DRAVELIN_LLM_MODEL or the one the setup script installed, the worker
// from $DRAVELIN_LLM_WORKER or the build.
QString defaultLocalModelPath();
QString localWorkerPath();

} // namespace dravelin::server
