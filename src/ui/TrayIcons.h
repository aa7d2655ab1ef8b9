#pragma once

#include "pipeline/PipelineState.h"

#include <QIcon>

namespace dravelin::ui {

// The tray item's icon for a pipeline state: a microphone when idle, a red
// microphone while recording, three dots while the text is being prepared.
// Drawn rather than taken from the icon theme, so it looks the same on every
// desktop and in both light and dark panels.
QIcon trayIcon(PipelineState state);

} // namespace dravelin::ui
