#pragma once

#include "core/JSON.h"

#include <string>

namespace corvane {

// What became of one call to the device: its result, or the system's refusal code and sentence.
struct McpCallOutcome {
    bool ok = false;
    // The action's result object when ok.
    JSON data;
    // When not ok: the snake_case code ("screen_locked") and the sentence for a person.
    std::string code;
    std::string message;

    static McpCallOutcome success(JSON data) { return {true, std::move(data), {}, {}}; }
    static McpCallOutcome refusal(std::string code, std::string message) {
        return {false, JSON(), std::move(code), std::move(message)};
    }
};

} // namespace corvane
