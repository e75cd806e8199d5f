#include "linuxdesktop/LinuxApplicationBundles.h"

#include "linuxdesktop/DesktopEntry.h"
#include "linuxdesktop/LinuxAppCatalog.h"

namespace corvane {

LinuxApplicationBundles::LinuxApplicationBundles(const LinuxAppCatalog& catalog)
    : catalog_(catalog) {}

std::optional<ApplicationBundles::Info>
LinuxApplicationBundles::info(const std::string& path) const {
    const std::string identifier = catalog_.identifierOf(path);
    if (identifier.empty()) {
        return std::nullopt;
    }
    const std::optional<DesktopEntry> entry = DesktopEntry::read(path);
    if (!entry) {
        return std::nullopt;
    }
    Info info;
    info.identifier = identifier;
    info.name = entry->name;
    info.hidden = entry->hidden;
    return info;
}

std::optional<std::vector<std::string>> LinuxApplicationBundles::systemFolders() const {
    return std::vector<std::string>{};
}

} // namespace corvane
