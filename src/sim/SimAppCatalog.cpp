#include "sim/SimAppCatalog.h"

#include "sim/SimModel.h"

namespace corvane {

std::optional<std::vector<std::string>> SimAppCatalog::indexedApplications() const {
    return model_.with([](SimParts& mac) -> std::optional<std::vector<std::string>> {
        if (!mac.settings.flag({"catalog", "index_available"})) {
            return std::nullopt;
        }
        return mac.apps.indexedPaths();
    });
}

std::optional<WireTime::Instant> SimAppCatalog::lastUsedDate(const std::string& path) const {
    return model_.with([&](SimParts& mac) { return mac.apps.lastUsed(path); });
}

std::vector<std::string> SimAppCatalog::directoryRoots() const {
    return model_.with([](SimParts& mac) { return mac.apps.directoryRoots(); });
}

} // namespace corvane
