#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Applications as a desktop session's service manager groups them: GNOME and KDE start each
// application in a unit of its own named after its desktop entry ("app-gnome-org.example.Editor-
// 4242.scope", "app-org.example.Editor@1f2e.service", dashes inside the id escaped as "\x2d").
// This is what a Wayland session tells about running applications without asking the compositor:
// which run, never which is in front. Reads /proc only.
class AppScopes {
public:
    // `procRoot` is where the process table is mounted.
    explicit AppScopes(std::string procRoot = "/proc");

    struct Running {
        std::int32_t pid = 0;  // the unit's first process
        std::string desktopID; // "org.example.Editor.desktop"
    };
    // One item per application unit, in order of its first process id; at most processLimit
    // processes are looked at.
    std::vector<Running> running() const;

    // The desktop file id of an application unit named by the last part of a cgroup path; absent
    // for any other unit.
    static std::optional<std::string> desktopIDOfUnit(const std::string& unit);

    static constexpr std::size_t processLimit = 65536;

private:
    std::string procRoot_;
};

} // namespace corvane
