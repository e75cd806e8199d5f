#include "window/StartupSettings.h"

#include <filesystem>

namespace corvane {

StartupSettings::StartupSettings(LoginItems& items, UserDefaults& defaults, std::string programPath)
    : items_(items)
    , defaults_(defaults)
    , programPath_(std::move(programPath)) {}

bool StartupSettings::installedLocation(std::string_view path) {
    if (path.find("/AppTranslocation/") != std::string_view::npos ||
        path.starts_with("/Volumes/")) {
        return false;
    }
    // An image mounted by a self-mounting package vanishes when the program ends.
    if (path.starts_with("/tmp/.mount_")) {
        return false;
    }
    const std::filesystem::path program(path);
    if (program.extension() == ".app") {
        return true;
    }
    return program.has_parent_path() && program.parent_path().filename() == "bin";
}

void StartupSettings::enableOnceIfInstalled() {
    if (defaults_.boolValue(std::string(attemptedKey)).value_or(false)) {
        return;
    }
    if (!installedLocation(programPath_)) {
        return;
    }
    defaults_.setBool(std::string(attemptedKey), true);
    if (items_.status() == LoginItems::Status::NotRegistered) {
        items_.registerItem();
    }
}

void StartupSettings::setEnabled(bool on) {
    defaults_.setBool(std::string(attemptedKey), true);
    if (on) {
        if (items_.status() == LoginItems::Status::Enabled) {
            return;
        }
        if (!items_.registerItem()) {
            throw std::runtime_error("the login item could not be registered");
        }
        return;
    }
    if (!items_.unregisterItem()) {
        throw std::runtime_error("the login item could not be removed");
    }
}

} // namespace corvane
