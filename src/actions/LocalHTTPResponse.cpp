#include "actions/LocalHTTPResponse.h"

#include <algorithm>

namespace corvane {

LocalHTTPResponse LocalHTTPResponse::error(int status, std::string_view code) {
    std::string message(code);
    std::replace(message.begin(), message.end(), '_', ' ');
    return {status, JSON::Object{{"error", JSON::Object{{"code", std::string(code)},
                                                        {"message", std::move(message)}}}}};
}

std::string LocalHTTPResponse::bytes() const {
    const std::string payload = body.data();
    std::string out = "HTTP/1.1 " + std::to_string(status) +
                      " Response\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(payload.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    out += payload;
    return out;
}

} // namespace corvane
