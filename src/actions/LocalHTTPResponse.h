#pragma once

#include "core/JSON.h"

#include <string>
#include <string_view>

namespace corvane {

// One answer of the loopback command server: a status and a JSON body, written unchanged.
struct LocalHTTPResponse {
    int status = 200;
    JSON body;

    // The server's own refusal: {"error":{"code":C,"message":C with "_" as " "}}.
    static LocalHTTPResponse error(int status, std::string_view code);

    // Head and body as sent on the wire. The reason phrase is "Response" for every status.
    // Throws JSONWriteError when the body cannot be written.
    std::string bytes() const;
};

} // namespace corvane
