#include "linuxdesktop/ShortcutFolderRunner.h"

#include "core/ContractError.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

bool fileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

// Owned by the person (or the system) and writable by no one else: otherwise another account
// could put its own program under an approved name.
bool trusted(const struct stat& status) {
    return (status.st_uid == ::geteuid() || status.st_uid == 0) &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

ShortcutFolderRunner::ShortcutFolderRunner(ProcessRunner& tools, std::string folder)
    : tools_(tools)
    , folder_(std::move(folder)) {}

std::string ShortcutFolderRunner::standardFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base = config != nullptr && *config == '/' ? std::string(config) : std::string();
    if (base.empty()) {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/Velto/shortcuts";
}

std::unique_ptr<ProcessRunner::Process>
ShortcutFolderRunner::start(const std::string& path, const std::vector<std::string>& arguments) {
    return tools_.start(path, arguments);
}

std::optional<ProcessRunner::Command>
ShortcutFolderRunner::shortcutCommand(const std::string& name) const {
    if (!fileName(name)) {
        throw ContractError("invalid_shortcut_name");
    }
    struct stat folder {};
    if (folder_.empty() || folder_.front() != '/' || ::stat(folder_.c_str(), &folder) != 0 ||
        !S_ISDIR(folder.st_mode) || !trusted(folder)) {
        throw ContractError("action_failed");
    }
    const std::string path = folder_ + '/' + name;
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || !trusted(file) ||
        ::access(path.c_str(), X_OK) != 0) {
        throw ContractError("action_failed");
    }
    return Command{path, {}};
}

} // namespace corvane
