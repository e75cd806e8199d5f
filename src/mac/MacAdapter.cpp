#include "mac/MacAdapter.h"

#include "mac/AccessibilityOnMac.h"
#include "mac/ApplicationBundlesOnMac.h"
#include "mac/AudioOutputOnMac.h"
#include "mac/FocusModesOnMac.h"
#include "mac/InputOnMac.h"
#include "mac/MediaPlayersOnMac.h"
#include "mac/PowerSourcesOnMac.h"
#include "mac/SessionLockOnMac.h"

namespace corvane {

MacAdapter::MacAdapter(MacPorts ports)
    : ports_(ports)
    , accessibility_(std::make_unique<AccessibilityOnMac>(ports.accessibility))
    , input_(std::make_unique<InputOnMac>(ports.input))
    , focusModes_(std::make_unique<FocusModesOnMac>(ports.workspace, ports.accessibility,
                                                    ports.input, ports.clock))
    , bundles_(std::make_unique<ApplicationBundlesOnMac>(ports_.bundles))
    , sessionLock_(std::make_unique<SessionLockOnMac>(ports_.console, ports_.input, ports_.clock))
    , powerSources_(std::make_unique<PowerSourcesOnMac>(ports_.power))
    , audio_(std::make_unique<AudioOutputOnMac>(ports_.scripting))
    , mediaPlayers_(std::make_unique<MediaPlayersOnMac>(ports_.scripting, ports_.workspace)) {}

MacAdapter::~MacAdapter() = default;

Accessibility& MacAdapter::accessibility() {
    return *accessibility_;
}

Input& MacAdapter::input() {
    return *input_;
}

FocusModes& MacAdapter::focusModes() {
    return *focusModes_;
}

ApplicationBundles& MacAdapter::bundles() {
    return *bundles_;
}

SessionLock& MacAdapter::sessionLock() {
    return *sessionLock_;
}

PowerSources& MacAdapter::powerSources() {
    return *powerSources_;
}

AudioOutput& MacAdapter::audio() {
    return *audio_;
}

MediaPlayers& MacAdapter::mediaPlayers() {
    return *mediaPlayers_;
}

} // namespace corvane
