#pragma once

#include "platform/AppCatalog.h"

namespace corvane {

// No application index and no folders to walk on this desktop yet.
class AbsentAppCatalog final : public AppCatalog {
public:
    std::optional<std::vector<std::string>> indexedApplications() const override { return {}; }
    std::optional<WireTime::Instant> lastUsedDate(const std::string&) const override { return {}; }
    std::vector<std::string> directoryRoots() const override { return {}; }
};

} // namespace corvane
