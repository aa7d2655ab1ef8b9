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
// from $DRAVELIN_LLM_MODEL, the one the setup script installed, or the same
// file in a models folder (paths::modelFolders); the worker from
// $DRAVELIN_LLM_WORKER, the build, or beside this program.
QString defaultLocalModelPath();
QString localWorkerPath();

} // namespace dravelin::server
