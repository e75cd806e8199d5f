#pragma once

#include "CorvaneMac/MacPorts.h"

#include <memory>

namespace corvane {

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

    AudioOutput& audio();
    MediaPlayers& mediaPlayers();

private:
    MacPorts ports_;
    std::unique_ptr<AudioOutputOnMac> audio_;
    std::unique_ptr<MediaPlayersOnMac> mediaPlayers_;
};

} // namespace corvane
