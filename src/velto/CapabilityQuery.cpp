#include "velto/CapabilityQuery.h"

#include "actions/DeviceCapabilityReport.h"

namespace corvane::CapabilityQuery {

namespace {
constexpr const char* command = "capabilities";
}

JSON request() {
    return JSON(JSON::Object{{"cmd", JSON(command)}});
}

bool matches(const JSON& message) {
    const std::string* name = message.stringMember("cmd");
    return name != nullptr && *name == command;
}

JSON answer(Platform& platform, bool desktopActive) {
    return JSON(JSON::Object{{"ok", JSON(true)},
                             {"report", DeviceCapabilityReport::read(platform, desktopActive)}});
}

std::optional<std::vector<std::string>> actions(const JSON& message) {
    const JSON* report = message.find("report");
    const JSON* list = report != nullptr ? report->find("actions") : nullptr;
    if (list == nullptr || list->array() == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (const JSON& name : *list->array()) {
        if (const std::string* text = name.string()) {
            out.push_back(*text);
        }
    }
    return out;
}

} // namespace corvane::CapabilityQuery
