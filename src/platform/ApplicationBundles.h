#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// What an installed application's bundle says about itself. Callable from any thread:
// application discovery reads bundles on a worker thread.
class ApplicationBundles {
public:
    virtual ~ApplicationBundles() = default;

    struct Info {
        std::string identifier;          // empty when the bundle states none
        std::optional<std::string> name; // the name it shows, as given (may be empty)
        // A background-only or menu-bar-only program: nothing the user opens as an application.
        bool hidden = false;
        friend bool operator==(const Info&, const Info&) = default;
    };
    // Absent when no bundle can be read at `path`.
    virtual std::optional<Info> info(const std::string& path) const = 0;

    // Folders of the operating system's own components, which the app actions never open or quit
    // (path prefixes ending in "/", compared without regard to case); absent where the actions'
    // own list of the Mac's system folders applies.
    virtual std::optional<std::vector<std::string>> systemFolders() const { return std::nullopt; }
};

} // namespace corvane
