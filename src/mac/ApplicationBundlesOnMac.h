#pragma once

#include "mac/MacBundles.h"
#include "platform/ApplicationBundles.h"

namespace corvane {

// Bundle information from the bundle's Info.plist dictionary. Callable from any thread, as the
// dictionaries are.
class ApplicationBundlesOnMac final : public ApplicationBundles {
public:
    explicit ApplicationBundlesOnMac(const MacBundles& bundles);

    std::optional<Info> info(const std::string& path) const override;

    // The mapping over one dictionary.
    static Info fromDictionary(const PlatformValue::Dictionary& info);

private:
    const MacBundles& bundles_;
};

} // namespace corvane
