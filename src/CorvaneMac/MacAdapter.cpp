#include "CorvaneMac/MacAdapter.h"

#include "CorvaneMac/AudioOutputOnMac.h"
#include "CorvaneMac/MediaPlayersOnMac.h"

namespace corvane {

MacAdapter::MacAdapter(MacPorts ports)
    : ports_(ports)
    , audio_(std::make_unique<AudioOutputOnMac>(ports_.scripting))
    , mediaPlayers_(std::make_unique<MediaPlayersOnMac>(ports_.scripting, ports_.workspace)) {}

MacAdapter::~MacAdapter() = default;

AudioOutput& MacAdapter::audio() {
    return *audio_;
}

MediaPlayers& MacAdapter::mediaPlayers() {
    return *mediaPlayers_;
}

} // namespace corvane
