#include "actions/SessionDiagnostics.h"

#include <utility>
#include <vector>

namespace corvane {

namespace {

// The members in field order; the optional flags only when present.
std::vector<std::pair<std::string_view, JSON>> members(const SessionDiagnostics& d) {
    std::vector<std::pair<std::string_view, JSON>> out;
    out.emplace_back("macOS", d.macOS);
    out.emplace_back("guiSessionAvailable", d.guiSessionAvailable);
    if (d.sessionOnConsole) {
        out.emplace_back("sessionOnConsole", *d.sessionOnConsole);
    }
    if (d.sessionLoginDone) {
        out.emplace_back("sessionLoginDone", *d.sessionLoginDone);
    }
    out.emplace_back("legacyLockExecutablePresent", d.legacyLockExecutablePresent);
    out.emplace_back("accessibilityGranted", d.accessibilityGranted);
    out.emplace_back("lockState", d.lockState);
    out.emplace_back("liveActionsEnabled", d.liveActionsEnabled);
    return out;
}

const JSON& required(const JSON& object, std::string_view key) {
    const JSON* member = object.find(key);
    if (member == nullptr) {
        throw JSONReadError("session diagnostics: missing key " + std::string(key));
    }
    return *member;
}

bool requiredBool(const JSON& object, std::string_view key) {
    const auto b = required(object, key).boolean();
    if (!b) {
        throw JSONReadError("session diagnostics: " + std::string(key) + " is not a boolean");
    }
    return *b;
}

std::string requiredString(const JSON& object, std::string_view key) {
    const std::string* s = required(object, key).string();
    if (s == nullptr) {
        throw JSONReadError("session diagnostics: " + std::string(key) + " is not a string");
    }
    return *s;
}

// A missing key and an explicit null both mean absent, as an optional field decodes.
std::optional<bool> optionalBool(const JSON& object, std::string_view key) {
    const JSON* member = object.find(key);
    if (member == nullptr || member->isNull()) {
        return std::nullopt;
    }
    const auto b = member->boolean();
    if (!b) {
        throw JSONReadError("session diagnostics: " + std::string(key) + " is not a boolean");
    }
    return b;
}

} // namespace

SessionDiagnostics SessionDiagnostics::capture(Platform& platform) {
    SessionDiagnostics d;
    const SessionLock::Facts facts = platform.sessionLock.facts();
    d.macOS = platform.workspace.osVersion().text;
    d.guiSessionAvailable = facts.graphicalSession;
    d.sessionOnConsole = facts.onConsole;
    d.sessionLoginDone = facts.loginDone;
    d.legacyLockExecutablePresent = facts.legacyLockToolPresent;
    d.accessibilityGranted = platform.accessibility.isTrusted();
    d.lockState = "unknown_unverified";
    d.liveActionsEnabled = false;
    return d;
}

JSON SessionDiagnostics::toJSON() const {
    JSON::Object object;
    for (auto& [key, value] : members(*this)) {
        object.emplace(std::string(key), std::move(value));
    }
    return object;
}

std::string SessionDiagnostics::encoded() const {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, value] : members(*this)) {
        if (!first) {
            out += ',';
        }
        first = false;
        JSON(key).appendData(out);
        out += ':';
        value.appendData(out);
    }
    out += '}';
    return out;
}

SessionDiagnostics SessionDiagnostics::fromJSON(const JSON& value) {
    if (!value.isObject()) {
        throw JSONReadError("session diagnostics: not an object");
    }
    SessionDiagnostics d;
    d.macOS = requiredString(value, "macOS");
    d.guiSessionAvailable = requiredBool(value, "guiSessionAvailable");
    d.sessionOnConsole = optionalBool(value, "sessionOnConsole");
    d.sessionLoginDone = optionalBool(value, "sessionLoginDone");
    d.legacyLockExecutablePresent = requiredBool(value, "legacyLockExecutablePresent");
    d.accessibilityGranted = requiredBool(value, "accessibilityGranted");
    d.lockState = requiredString(value, "lockState");
    d.liveActionsEnabled = requiredBool(value, "liveActionsEnabled");
    return d;
}

SessionDiagnostics SessionDiagnostics::decode(std::string_view text) {
    return fromJSON(JSON::parse(text));
}

} // namespace corvane
