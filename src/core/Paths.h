#pragma once

#include <QString>

namespace dravelin::paths {

// Base directories of the XDG layout, with their documented fallbacks.
QString configHome(); // $XDG_CONFIG_HOME or ~/.config
QString stateHome();  // $XDG_STATE_HOME or ~/.local/state
QString dataHome();   // $XDG_DATA_HOME or ~/.local/share

// Dravelin's own folders beneath them.
QString configDir(); // …/dravelin (settings, app configuration)
QString stateDir();  // …/dravelin (logs)
QString dataDir();   // …/dravelin (per-user data)

} // namespace dravelin::paths
