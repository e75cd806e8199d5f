#pragma once

#include "core/WireTime.h"

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Where installed application bundles are found: the metadata index and the directory roots to
// walk. The walk itself reads the real file system under those roots. Read-only, and every
// operation must be callable from any thread: application discovery runs on a worker thread.
class AppCatalog {
public:
    virtual ~AppCatalog() = default;

    // Paths of application bundles known to the metadata index, in its order; absent when the
    // query cannot be created or run.
    virtual std::optional<std::vector<std::string>> indexedApplications() const = 0;
    // The index's last-used date of the bundle at `path`.
    virtual std::optional<WireTime::Instant> lastUsedDate(const std::string& path) const = 0;
    // Directory roots to walk, in order (the system's application folders and the user's own).
    virtual std::vector<std::string> directoryRoots() const = 0;
};

} // namespace corvane
