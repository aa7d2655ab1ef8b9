#pragma once

#include <QString>
#include <QStringList>

namespace dravelin::paths {

// Base directories of the XDG layout, with their documented fallbacks.
QString configHome(); // $XDG_CONFIG_HOME or ~/.config
QString stateHome();  // $XDG_STATE_HOME or ~/.local/state
QString dataHome();   // $XDG_DATA_HOME or ~/.local/share

// Dravelin's own folders beneath them.
QString configDir(); // …/dravelin (settings, app configuration)
QString stateDir();  // …/dravelin (logs)
QString dataDir();   // …/dravelin (per-user data)

// Where speech models are looked for by name, in order: the user's own
// (dataDir()/models, where installs go), then every $XDG_DATA_DIRS
// folder's dravelin/models (where an installed Dravelin puts the default
// model), then the folder the build converted its model into (the same as the
// user's unless the data folder was moved, as tests and sandboxes do).
QStringList modelFolders();

} // namespace dravelin::paths
