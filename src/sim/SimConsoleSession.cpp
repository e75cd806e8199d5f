#include "sim/SimConsoleSession.h"

#include "sim/SimModel.h"
#include "sim/SimValueCodec.h"

namespace corvane {

namespace {

std::optional<PlatformValue> present(const JSON& value) {
    if (value.isNull()) {
        return std::nullopt;
    }
    return SimValueCodec::fromJSON(value);
}

} // namespace

std::optional<MacConsoleSession::RootProperties> SimConsoleSession::rootProperties() const {
    return model_.with([](SimParts& mac) -> std::optional<RootProperties> {
        if (!mac.settings.flag({"console", "registry_available"})) {
            return std::nullopt;
        }
        return RootProperties{present(mac.settings.get({"console", "users"})),
                              present(mac.settings.get({"console", "locked"}))};
    });
}

std::optional<PlatformValue> SimConsoleSession::sessionDictionary() const {
    return present(model_.setting({"console", "session"}));
}

std::uint32_t SimConsoleSession::userID() const {
    return static_cast<std::uint32_t>(model_.number({"console", "uid"}));
}

bool SimConsoleSession::legacyLockToolPresent() const {
    return model_.flag({"console", "legacy_lock_tool"});
}

} // namespace corvane
