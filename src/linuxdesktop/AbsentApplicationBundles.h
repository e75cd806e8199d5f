#pragma once

#include "platform/ApplicationBundles.h"

namespace corvane {

// No application bundles can be read on this desktop yet.
class AbsentApplicationBundles final : public ApplicationBundles {
public:
    std::optional<Info> info(const std::string&) const override { return {}; }
};

} // namespace corvane
