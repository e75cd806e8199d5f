#include "CorvaneMac/MacAdapter.h"

#include "CorvaneMac/AccessibilityOnMac.h"
#include "CorvaneMac/ApplicationBundlesOnMac.h"
#include "CorvaneMac/AudioOutputOnMac.h"
#include "CorvaneMac/FocusModesOnMac.h"
#include "CorvaneMac/InputOnMac.h"
#include "CorvaneMac/MediaPlayersOnMac.h"
#include "CorvaneMac/PowerSourcesOnMac.h"
#include "CorvaneMac/SessionLockOnMac.h"

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
