#pragma once

#include <QString>

namespace corvane {

// Where a run keeps its state, all derived from the environment so that setting XDG_DATA_HOME and
// XDG_CONFIG_HOME isolates a run completely (tests, demos side by side).
namespace VeltoPaths {

// $XDG_DATA_HOME/Corvane (default ~/.local/share/Corvane): the agent's private files.
QString dataDirectory();
// The simulated Mac's state (its bundle folders and files) under the private directory.
QString simulatorRoot();
// The simulated Mac's control socket. Kept beside its state rather than in $XDG_RUNTIME_DIR, so
// that the two variables above are all a run needs to be isolated.
QString simulatorSocket();
// The running agent's own control socket (`velto desktop`), in its private folder.
QString agentSocket();
// A file the program ships, e.g. "scenarios/default.json": beside it in the build tree, else
// in the package's share folder.
QString besideProgram(const QString& relativePath);

} // namespace VeltoPaths

} // namespace corvane
