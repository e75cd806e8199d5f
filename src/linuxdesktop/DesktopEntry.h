#pragma once

#include <optional>
#include <string>

namespace corvane {

// What one XDG desktop entry of an application says about it, read through GIO. Reading touches
// only the file, so it may run on any thread.
struct DesktopEntry {
    std::string path;
    // The localized name it shows.
    std::string name;
    // Deleted (Hidden), kept out of menus (NoDisplay) or meant for another desktop (OnlyShowIn,
    // NotShowIn): nothing the person opens as an application here.
    bool hidden = false;
    // The window class its windows carry, when the entry states one.
    std::string startupWMClass;
    // The file name of the program its Exec line starts ("" when none).
    std::string program;

    // Absent when `path` holds no application entry GIO accepts (not Type=Application, unreadable,
    // or a TryExec program that is not installed).
    static std::optional<DesktopEntry> read(const std::string& path);
};

} // namespace corvane
