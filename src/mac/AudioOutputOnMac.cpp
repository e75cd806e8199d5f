#include "mac/AudioOutputOnMac.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace corvane {

namespace {

// The volume clamped to 0..100 before any narrowing, so an out-of-range reply cannot wrap
// around into a plausible level. A real number is rounded; anything else is no volume.
std::optional<int> volume(const PlatformValue& item) {
    if (const auto integer = item.integer()) {
        return static_cast<int>(std::clamp<std::int64_t>(*integer, 0, 100));
    }
    if (const auto real = item.real(); real && !std::isnan(*real)) {
        return static_cast<int>(std::lround(std::clamp(*real, 0.0, 100.0)));
    }
    return std::nullopt;
}

} // namespace

std::string AudioOutputOnMac::volumeScript(int level) {
    return "set volume output volume " + std::to_string(level);
}

std::string_view AudioOutputOnMac::muteScript(bool muted) {
    return muted ? "set volume with output muted" : "set volume without output muted";
}

std::optional<AudioOutput::State> AudioOutputOnMac::stateFrom(const MacScripting::Result& result) {
    const PlatformValue::Array* items = std::get_if<PlatformValue::Array>(&result);
    if (items == nullptr || items->size() != 2) {
        return std::nullopt;
    }
    const auto level = volume((*items)[0]);
    const auto muted = (*items)[1].boolean();
    // A reply that is not a level and a flag is not reported as some made-up state.
    if (!level || !muted) {
        return std::nullopt;
    }
    return State{.volume = *level, .muted = *muted};
}

QCoro::Task<std::optional<AudioOutput::State>> AudioOutputOnMac::read() {
    co_return stateFrom(scripting_.run(std::string(readScript)));
}

QCoro::Task<ControlResult> AudioOutputOnMac::setVolume(int level) {
    co_return MacScripting::controlResult(scripting_.run(volumeScript(level)));
}

QCoro::Task<ControlResult> AudioOutputOnMac::setMuted(bool muted) {
    co_return MacScripting::controlResult(scripting_.run(std::string(muteScript(muted))));
}

} // namespace corvane
