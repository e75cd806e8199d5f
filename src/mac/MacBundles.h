#pragma once

#include "platform/PlatformValue.h"

#include <optional>
#include <string>

namespace corvane {

// Application bundles' information dictionaries, as the Mac stores them. Callable from any thread.
class MacBundles {
public:
    virtual ~MacBundles() = default;

    // The information dictionary of the bundle at `path` ("CFBundleIdentifier", "CFBundleName",
    // "CFBundleDisplayName", "LSUIElement", "LSBackgroundOnly", ...); absent when no bundle can be
    // opened there.
    virtual std::optional<PlatformValue::Dictionary> bundleInfo(const std::string& path) const = 0;
};

} // namespace corvane
