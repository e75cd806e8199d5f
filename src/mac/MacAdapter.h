#pragma once

#include "mac/MacPorts.h"

#include <memory>

namespace corvane {

class Accessibility;
class AccessibilityOnMac;
class FocusModes;
class FocusModesOnMac;
class Input;
class InputOnMac;
class ApplicationBundles;
class ApplicationBundlesOnMac;
class PowerSources;
class PowerSourcesOnMac;
class SessionLock;
class SessionLockOnMac;
class AudioOutput;
class AudioOutputOnMac;
class MediaPlayers;
class MediaPlayersOnMac;

// Owns one adapter per meaning port, each built on the Mac-level ports. A backend that speaks the
// Mac's terms (the simulated Mac, a macOS backend) keeps one and hands its ports to the Platform.
class MacAdapter {
public:
    explicit MacAdapter(MacPorts ports);
    ~MacAdapter();
    MacAdapter(const MacAdapter&) = delete;
    MacAdapter& operator=(const MacAdapter&) = delete;

    Accessibility& accessibility();
    Input& input();
    FocusModes& focusModes();
    ApplicationBundles& bundles();
    SessionLock& sessionLock();
    PowerSources& powerSources();
    AudioOutput& audio();
    MediaPlayers& mediaPlayers();

private:
    MacPorts ports_;
    std::unique_ptr<AccessibilityOnMac> accessibility_;
    std::unique_ptr<InputOnMac> input_;
    std::unique_ptr<FocusModesOnMac> focusModes_;
    std::unique_ptr<ApplicationBundlesOnMac> bundles_;
    std::unique_ptr<SessionLockOnMac> sessionLock_;
    std::unique_ptr<PowerSourcesOnMac> powerSources_;
    std::unique_ptr<AudioOutputOnMac> audio_;
    std::unique_ptr<MediaPlayersOnMac> mediaPlayers_;
};

} // namespace corvane
