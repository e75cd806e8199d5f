#pragma once

#include <QFileDevice>
#include <QString>

#include <optional>
#include <string_view>

namespace corvane {

// Files the simulated Mac writes under its root for others to read (bundle folders' information
// files, the Shortcuts tool stand-in). Each is written under a unique temporary name in the same
// folder and then renamed over the old one, so that a reader, or a second simulated Mac writing
// the same root at the same moment, never sees half a file, and nothing is left beside it.
// Owner-only files (keychain.json) go through PrivateFile instead.
namespace SimFiles {

// Replaces the whole content of `path`; `permissions` when given, otherwise the usual ones for a
// new file. False when it cannot be written (the old file then stays).
bool replace(const QString& path, std::string_view bytes,
             std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace SimFiles

} // namespace corvane
