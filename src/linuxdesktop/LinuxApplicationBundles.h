#pragma once

#include "platform/ApplicationBundles.h"

namespace corvane {

class LinuxAppCatalog;

// Desktop entries as bundles: the identifier is the entry's desktop file id (see LinuxAppCatalog),
// the name its localized Name, and an entry the desktop would not show is hidden. Callable from any
// thread.
class LinuxApplicationBundles final : public ApplicationBundles {
public:
    explicit LinuxApplicationBundles(const LinuxAppCatalog& catalog);

    std::optional<Info> info(const std::string& path) const override;
    // None: the system's applications live in /usr/share like everyone's, and what must stay out
    // of reach (session helpers, settings panels) is marked NoDisplay or OnlyShowIn instead.
    std::optional<std::vector<std::string>> systemFolders() const override;

private:
    const LinuxAppCatalog& catalog_;
};

} // namespace corvane
