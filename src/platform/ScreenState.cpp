#include "platform/ScreenState.h"

namespace corvane {

std::string_view rawValue(ScreenState state) noexcept {
    switch (state) {
    case ScreenState::Unlocked:
        return "unlocked";
    case ScreenState::Locked:
        return "locked";
    case ScreenState::Inactive:
        return "inactive";
    case ScreenState::Unknown:
        break;
    }
    return "unknown";
}

std::optional<ScreenState> screenStateFromRaw(std::string_view raw) noexcept {
    for (const ScreenState state : {ScreenState::Unlocked, ScreenState::Locked,
                                    ScreenState::Inactive, ScreenState::Unknown}) {
        if (raw == rawValue(state)) {
            return state;
        }
    }
    return std::nullopt;
}

std::optional<bool> lockedValue(ScreenState state) noexcept {
    switch (state) {
    case ScreenState::Unlocked:
        return false;
    case ScreenState::Locked:
        return true;
    case ScreenState::Inactive:
    case ScreenState::Unknown:
        break;
    }
    return std::nullopt;
}

} // namespace corvane
