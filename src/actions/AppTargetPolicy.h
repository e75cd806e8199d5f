#pragma once

#include "platform/ApplicationBundles.h"

#include <string>

namespace corvane {

// Which application bundles the app actions may open or quit: not the operating system's own
// components, not a bundle nested inside another application, not background-only or
// menu-bar-only agents. Paths are judged after resolving symbolic links, so a link cannot carry a
// protected target past the path rules.
namespace AppTargetPolicy {

// The absolute path with "." and ".." removed and every symbolic link on it followed (also one
// whose target is missing); a part that does not exist is kept as written. Empty for a relative
// path or a loop of links.
std::string resolvedPath(const std::string& path);

bool allows(const ApplicationBundles& bundles, const std::string& path);
// Throws "protected_app" when allows() is false.
void check(const ApplicationBundles& bundles, const std::string& path);

} // namespace AppTargetPolicy

} // namespace corvane
