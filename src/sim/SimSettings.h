#pragma once

#include "core/JSON.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The scenario's settings: every member but "apps" and "frontmost", completed with defaults and
// kept checked (SimScenario) as JSON, so that the control channel can set, patch and dump any of
// them. Ports read them afresh on every call.
class SimSettings {
public:
    // The settings of an empty scenario.
    SimSettings();

    const JSON& all() const { return settings_; }
    // Takes the settings part of a checked scenario.
    void load(const JSON& scenario);

    // The member at `path`; null when absent.
    JSON get(std::initializer_list<std::string_view> path) const;
    bool flag(std::initializer_list<std::string_view> path) const;
    std::string text(std::initializer_list<std::string_view> path) const;
    double number(std::initializer_list<std::string_view> path) const;
    // Writes an already valid value in place (the caller keeps the settings checked).
    void put(std::initializer_list<std::string_view> path, JSON value);
    // Sets one value at a path (strings and array indexes) and re-checks the settings; throws
    // SimScenarioError and changes nothing when the result is not valid.
    void setAt(const std::vector<JSON>& path, JSON value);
    // Applies a JSON merge patch (RFC 7386), all or nothing; a member set to null returns to its
    // default.
    void patch(const JSON& mergePatch);

    // The screen lock: "console.locked" and the console user's own copy of the flag.
    void setLocked(bool locked);
    bool locked() const { return flag({"console", "locked"}); }

private:
    const JSON* find(std::initializer_list<std::string_view> path) const;
    JSON* slot(std::initializer_list<std::string_view> path);

    JSON settings_;
};

} // namespace corvane
