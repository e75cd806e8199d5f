#include "linuxdesktop/LinuxAppCatalog.h"

#include <QDir>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <sys/stat.h>

namespace corvane {

namespace {

constexpr std::string_view suffix = ".desktop";

bool endsWithSuffix(std::string_view name) {
    return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

std::string cleanFolder(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') {
        return {};
    }
    return QDir::cleanPath(QString::fromStdString(folder)).toStdString();
}

// Adds the entries below `folder` (ids prefixed by `prefix`) that no earlier folder named.
void list(const std::string& folder, const std::string& prefix, int depth,
          std::map<std::string, std::string>& found) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::pair<std::string, bool>> items;
    while (const dirent* item = ::readdir(dir)) {
        const std::string name(item->d_name);
        if (name.empty() || name.front() == '.') {
            continue;
        }
        bool directory = item->d_type == DT_DIR;
        if (item->d_type == DT_UNKNOWN || item->d_type == DT_LNK) {
            struct stat status {};
            directory = ::stat((folder + '/' + name).c_str(), &status) == 0 &&
                        S_ISDIR(status.st_mode) && item->d_type != DT_LNK;
        }
        items.emplace_back(name, directory);
    }
    ::closedir(dir);
    std::sort(items.begin(), items.end());
    for (const auto& [name, directory] : items) {
        if (found.size() >= LinuxAppCatalog::entryLimit) {
            return;
        }
        if (directory) {
            // Linked folders are not entered: no loops.
            if (depth < LinuxAppCatalog::depthLimit) {
                list(folder + '/' + name, prefix + name + '-', depth + 1, found);
            }
        } else if (endsWithSuffix(name)) {
            found.try_emplace(prefix + name, folder + '/' + name);
        }
    }
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

} // namespace

LinuxAppCatalog::LinuxAppCatalog(std::vector<std::string> applicationFolders) {
    for (const std::string& folder : applicationFolders) {
        std::string clean = cleanFolder(folder);
        if (!clean.empty() &&
            std::find(folders_.begin(), folders_.end(), clean) == folders_.end()) {
            folders_.push_back(std::move(clean));
        }
    }
}

std::vector<std::string> LinuxAppCatalog::standardFolders() {
    std::vector<std::string> folders;
    std::string dataHome = environment("XDG_DATA_HOME");
    if (dataHome.empty() || dataHome.front() != '/') {
        dataHome = environment("HOME") + "/.local/share";
    }
    folders.push_back(dataHome + "/applications");
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) {
        dataDirs = "/usr/local/share/:/usr/share/";
    }
    std::size_t start = 0;
    while (start <= dataDirs.size()) {
        const std::size_t colon = std::min(dataDirs.find(':', start), dataDirs.size());
        const std::string dir = dataDirs.substr(start, colon - start);
        // Relative entries are invalid under the XDG rules and ignored.
        if (!dir.empty() && dir.front() == '/') {
            folders.push_back(dir + "/applications");
        }
        start = colon + 1;
    }
    return folders;
}

std::vector<std::pair<std::string, std::string>> LinuxAppCatalog::entries() const {
    std::map<std::string, std::string> found;
    for (const std::string& folder : folders_) {
        list(folder, std::string(), 1, found);
    }
    return {found.begin(), found.end()};
}

std::optional<std::vector<std::string>> LinuxAppCatalog::indexedApplications() const {
    std::vector<std::string> paths;
    for (auto& [id, path] : entries()) {
        paths.push_back(std::move(path));
    }
    return paths;
}

std::optional<WireTime::Instant> LinuxAppCatalog::lastUsedDate(const std::string&) const {
    return std::nullopt;
}

std::vector<std::string> LinuxAppCatalog::directoryRoots() const {
    return {};
}

std::string LinuxAppCatalog::identifierOf(const std::string& path) const {
    const std::string clean = cleanFolder(path);
    if (!endsWithSuffix(clean)) {
        return {};
    }
    for (const std::string& folder : folders_) {
        if (clean.size() > folder.size() + 1 && clean.compare(0, folder.size(), folder) == 0 &&
            clean[folder.size()] == '/') {
            std::string id = clean.substr(folder.size() + 1);
            std::replace(id.begin(), id.end(), '/', '-');
            return id;
        }
    }
    return clean.substr(clean.rfind('/') + 1);
}

std::optional<std::string> LinuxAppCatalog::pathOf(const std::string& identifier) const {
    if (!endsWithSuffix(identifier) || identifier.find('/') != std::string::npos ||
        identifier.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    // The common case costs one stat per folder: the entry lies directly in a folder.
    for (const std::string& folder : folders_) {
        struct stat status {};
        const std::string direct = folder + '/' + identifier;
        if (::stat(direct.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            // A subfolder entry of an earlier folder with the same id would win; rare enough to
            // check only when the id could name one.
            if (identifier.find('-') == std::string::npos) {
                return direct;
            }
            break;
        }
    }
    for (auto& [id, path] : entries()) {
        if (id == identifier) {
            return std::move(path);
        }
    }
    return std::nullopt;
}

} // namespace corvane
