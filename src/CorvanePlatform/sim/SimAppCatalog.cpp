#include "CorvanePlatform/sim/SimAppCatalog.h"

#include "CorvanePlatform/sim/SimModel.h"

namespace corvane {

std::optional<std::vector<std::string>> SimAppCatalog::indexedApplications() const {
    auto guard = model_.lock();
    if (!model_.flag({"catalog", "index_available"})) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    for (const auto& [path, entry] : model_.installedApps()) {
        if (entry.find("indexed")->isTrue()) {
            paths.push_back(path);
        }
    }
    return paths;
}

std::optional<WireTime::Instant> SimAppCatalog::lastUsedDate(const std::string& path) const {
    return model_.lastUsed(path);
}

std::vector<std::string> SimAppCatalog::directoryRoots() const {
    return model_.directoryRoots();
}

} // namespace corvane
