#pragma once

#include "core/Envelope.h"
#include "core/JSON.h"

#include <string>

namespace corvane::test {

// What a computer sends the relay: its capabilities, its hello, its request for a pairing code.
inline JSON capabilities(const std::string& screen = "unlocked") {
    return JSON(
        JSON::Object{{"schema_version", JSON(1)},
                     {"os_version", JSON("14.5")},
                     {"screen_state", JSON(screen)},
                     {"agent_version", JSON("0.1.0")},
                     {"agent_build", JSON()},
                     {"actions", JSON(JSON::Array{JSON("get_state"), JSON("mute")})},
                     {"features", JSON(JSON::Array{})},
                     {"permissions", JSON(JSON::Object{{"desktop_control", JSON("denied")},
                                                       {"accessibility", JSON("granted")},
                                                       {"screen_recording", JSON("unknown")}})}});
}

inline JSON helloWith(const std::string& token) {
    return envelope("hello", JSON::Object{{"device_token", JSON(token)},
                                          {"agent_version", JSON("0.1.0")},
                                          {"device_name", JSON("Studio")},
                                          {"macos_version", JSON("14.5")},
                                          {"capabilities", capabilities()}});
}

// What a computer sends to ask for a pairing code.
inline JSON codeRequest() {
    return JSON(JSON::Object{
        {"device_name", JSON("Studio")}, {"kind", JSON("mac")}, {"agent_version", JSON("0.1.0")}});
}

} // namespace corvane::test
