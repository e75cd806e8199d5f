#pragma once

#include "platform/AppCatalog.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// The installed applications of an XDG desktop: the desktop entries in the "applications" folders
// of the data directories. An entry's identity is its desktop file id, the path below its folder
// with "/" turned into "-" ("org.example.Editor.desktop", "kde-konsole.desktop"): it is what the
// desktop itself names applications by, stays the same when the entry moves between the user's and
// the system's folders, and an entry in an earlier folder shadows the one with the same id further
// down. The ".desktop" ending is kept, so that single-word ids still read as dotted identifiers.
// Read-only and callable from any thread.
class LinuxAppCatalog final : public AppCatalog {
public:
    // `applicationFolders` in order of precedence: the user's own first.
    explicit LinuxAppCatalog(std::vector<std::string> applicationFolders);

    // $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS (with the defaults the XDG base
    // directory rules give when unset).
    static std::vector<std::string> standardFolders();

    // The winning entry of every id, ordered by id.
    std::optional<std::vector<std::string>> indexedApplications() const override;
    // Desktops keep no last-used date of their own that every desktop shares: absent.
    std::optional<WireTime::Instant> lastUsedDate(const std::string& path) const override;
    // Nothing to walk: the folders are listed whole above.
    std::vector<std::string> directoryRoots() const override;

    // The desktop file id of the entry at `path`; an entry outside the folders is named by its
    // file name. Empty for a path that does not end in ".desktop".
    std::string identifierOf(const std::string& path) const;
    // The path of the entry that wins for `identifier`.
    std::optional<std::string> pathOf(const std::string& identifier) const;
    // (id, path) of every winning entry, ordered by id.
    std::vector<std::pair<std::string, std::string>> entries() const;

    const std::vector<std::string>& folders() const { return folders_; }

    // Bounds of one listing, so that a folder full of links or files cannot stall discovery.
    static constexpr int depthLimit = 4;
    static constexpr std::size_t entryLimit = 5000;

private:
    std::vector<std::string> folders_;
};

} // namespace corvane
