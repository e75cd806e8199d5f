#include "CorvaneNative/AudioStatus.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace corvane::AudioStatus {

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

JSON fromResult(const Scripting::Result& result) {
    const PlatformValue::Array* items = std::get_if<PlatformValue::Array>(&result);
    if (items == nullptr || items->size() != 2) {
        return nullptr;
    }
    const auto level = volume((*items)[0]);
    const auto muted = (*items)[1].boolean();
    // A reply that is not a level and a flag is not reported as some made-up state.
    if (!level || !muted) {
        return nullptr;
    }
    return JSON::Object{{"volume", *level}, {"muted", *muted}};
}

JSON read(Scripting& scripting) {
    return fromResult(scripting.run(std::string(script)));
}

} // namespace corvane::AudioStatus
