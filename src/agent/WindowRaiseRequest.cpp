#include "agent/WindowRaiseRequest.h"

namespace corvane {

JSON WindowRaiseRequest::request() {
    return JSON(JSON::Object{{"cmd", JSON(std::string(command))}});
}

bool WindowRaiseRequest::matches(const JSON& request) {
    const std::string* name = request.stringMember("cmd");
    return name != nullptr && *name == command;
}

} // namespace corvane
