#include "agent/DesktopControlCommands.h"

#include "actions/DesktopConsent.h"
#include "agent/Agent.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/WireTime.h"

#include <chrono>

namespace corvane {

namespace {

JSON ok(JSON::Object members = {}) {
    members.emplace("ok", JSON(true));
    return JSON(std::move(members));
}

JSON refused(const std::string& error, std::string_view message) {
    return JSON(JSON::Object{
        {"ok", JSON(false)}, {"error", JSON(error)}, {"message", JSON(std::string(message))}});
}

const char* permission(bool granted) {
    return granted ? "granted" : "denied";
}

} // namespace

JSON DesktopControlCommands::handle(const JSON& command) {
    const std::string name = *command.stringMember("cmd");
    DesktopControl& desktop = agent_.executor().desktop();
    try {
        if (name == "desktop_status") {
            return status();
        }
        if (name == "desktop_enable") {
            desktop.enableDesktop();
            return status();
        }
        if (name == "desktop_disable") {
            desktop.stop();
            return status();
        }
        if (name == "desktop_grant") {
            const JSON* ids = command.find("bundle_ids");
            std::vector<std::string> bundleIDs;
            for (const JSON& id : ids != nullptr && ids->array() ? *ids->array() : JSON::Array{}) {
                if (id.string() == nullptr) {
                    return refused("bundle_ids: expected an array of strings", "");
                }
                bundleIDs.push_back(*id.string());
            }
            desktop.grant(bundleIDs);
            return status();
        }
    } catch (const ContractError& error) {
        return refused(error.code(), CommandFeedback::error(error.code()));
    }
    // Any other failure (consent that could not be saved) is answered with its reason by the
    // server.
    return refused("unknown command \"" + name + "\"", "");
}

JSON DesktopControlCommands::status() const {
    const DesktopControl& desktop = agent_.executor().desktop();
    const bool trusted = platform_.accessibility.isTrusted();
    JSON::Object state{
        {"status", JSON(std::string(DesktopConsent::statusText(desktop.desktopWide(), trusted,
                                                               agent_.screenState())))},
        {"consent", JSON(desktop.desktopWide())},
        {"permissions",
         JSON(JSON::Object{
             {"accessibility", JSON(permission(trusted))},
             {"screen_recording", JSON(permission(platform_.screenCapture.preflight()))}})},
        {"front_end", JSON(frontEnd_ == FrontEnd::Window ? "window" : "headless")},
    };
    // A grant is shown while it runs; its end on the wall clock, from the monotonic time left.
    const Clock::MonotonicTime now = platform_.clock.monotonicNow();
    if (!desktop.approvedApps().empty() && desktop.deadline() > now) {
        JSON::Array apps;
        for (const std::string& id : desktop.approvedApps()) {
            apps.emplace_back(id);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::seconds>(desktop.deadline() - now);
        state.emplace(
            "granted",
            JSON(JSON::Object{{"bundle_ids", JSON(std::move(apps))},
                              {"expires_at", JSON(WireTime::text(platform_.clock.now() + left))},
                              {"seconds_left", JSON(left.count())}}));
    } else {
        state.emplace("granted", JSON(nullptr));
    }
    return ok(std::move(state));
}

} // namespace corvane
