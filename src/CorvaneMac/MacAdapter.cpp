#include "CorvaneMac/MacAdapter.h"

#include "CorvaneMac/ApplicationBundlesOnMac.h"
#include "CorvaneMac/PowerSourcesOnMac.h"
#include "CorvaneMac/SessionLockOnMac.h"

namespace corvane {

MacAdapter::MacAdapter(MacPorts ports)
    : ports_(ports)
    , bundles_(std::make_unique<ApplicationBundlesOnMac>(ports_.bundles))
    , sessionLock_(std::make_unique<SessionLockOnMac>(ports_.console, ports_.input, ports_.clock))
    , powerSources_(std::make_unique<PowerSourcesOnMac>(ports_.power)) {}

MacAdapter::~MacAdapter() = default;

ApplicationBundles& MacAdapter::bundles() {
    return *bundles_;
}

SessionLock& MacAdapter::sessionLock() {
    return *sessionLock_;
}

PowerSources& MacAdapter::powerSources() {
    return *powerSources_;
}

} // namespace corvane
