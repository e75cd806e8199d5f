#pragma once

#include "platform/AppCatalog.h"

namespace corvane {

class SimModel;

// The metadata index lists the scenario's indexed bundles; the roots are the folders the sim
// created under its root directory. Safe on any thread.
class SimAppCatalog final : public AppCatalog {
public:
    explicit SimAppCatalog(SimModel& model)
        : model_(model) {}

    std::optional<std::vector<std::string>> indexedApplications() const override;
    std::optional<WireTime::Instant> lastUsedDate(const std::string& path) const override;
    std::vector<std::string> directoryRoots() const override;

private:
    SimModel& model_;
};

} // namespace corvane
