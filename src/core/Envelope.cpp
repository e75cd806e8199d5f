#include "core/Envelope.h"

#include "core/Uuid.h"

#include <chrono>
#include <string>
#include <utility>

namespace corvane {

JSON envelope(std::string_view type, JSON::Object members, WireTime::Instant now) {
    // insert_or_assign: the envelope's own members win over anything the caller passed.
    members.insert_or_assign("v", JSON(1.0));
    members.insert_or_assign("type", JSON(type));
    members.insert_or_assign("id", JSON(Uuid::make()));
    members.insert_or_assign("ts", JSON(WireTime::text(now)));
    return JSON(std::move(members));
}

JSON envelope(std::string_view type, JSON::Object members) {
    return envelope(type, std::move(members), std::chrono::system_clock::now());
}

JSON::Object successResult(std::string_view commandId, JSON data) {
    return JSON::Object{
        {"command_id", JSON(commandId)},
        {"ok", JSON(true)},
        {"data", std::move(data)},
    };
}

JSON::Object failureResult(std::string_view commandId, std::string_view errorCode) {
    return JSON::Object{
        {"command_id", JSON(commandId)},
        {"ok", JSON(false)},
        {"error_code", JSON(errorCode)},
    };
}

JSON localError(std::string_view code, std::string_view message) {
    return JSON(JSON::Object{
        {"error", JSON(JSON::Object{{"code", JSON(code)}, {"message", JSON(message)}})},
    });
}

} // namespace corvane
