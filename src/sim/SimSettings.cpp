#include "sim/SimSettings.h"

#include "sim/SimScenario.h"
#include "sim/SimScenarioError.h"

namespace corvane {

namespace {

JSON mergePatch(JSON target, const JSON& patch) {
    const JSON::Object* members = patch.object();
    if (members == nullptr) {
        return patch;
    }
    if (!target.isObject()) {
        target = JSON(JSON::Object{});
    }
    JSON::Object& object = *target.object();
    for (const auto& [key, value] : *members) {
        if (value.isNull()) {
            object.erase(key);
        } else {
            auto found = object.find(key);
            JSON base = found != object.end() ? found->second : JSON(nullptr);
            object[key] = mergePatch(std::move(base), value);
        }
    }
    return target;
}

} // namespace

SimSettings::SimSettings()
    : settings_(SimScenario::normaliseSettings(JSON(JSON::Object{}))) {}

void SimSettings::load(const JSON& scenario) {
    JSON::Object settings = *scenario.object();
    settings.erase("apps");
    settings.erase("frontmost");
    settings_ = JSON(std::move(settings));
}

const JSON* SimSettings::find(std::initializer_list<std::string_view> path) const {
    const JSON* at = &settings_;
    for (std::string_view key : path) {
        at = at->find(key);
        if (at == nullptr) {
            return nullptr;
        }
    }
    return at;
}

JSON* SimSettings::slot(std::initializer_list<std::string_view> path) {
    JSON* at = &settings_;
    for (std::string_view key : path) {
        JSON::Object* object = at->object();
        if (object == nullptr) {
            return nullptr;
        }
        auto found = object->find(key);
        if (found == object->end()) {
            found = object->emplace(std::string(key), JSON(JSON::Object{})).first;
        }
        at = &found->second;
    }
    return at;
}

JSON SimSettings::get(std::initializer_list<std::string_view> path) const {
    const JSON* at = find(path);
    return at != nullptr ? *at : JSON(nullptr);
}

bool SimSettings::flag(std::initializer_list<std::string_view> path) const {
    const JSON* at = find(path);
    return at != nullptr && at->isTrue();
}

std::string SimSettings::text(std::initializer_list<std::string_view> path) const {
    const JSON* at = find(path);
    return at != nullptr && at->string() != nullptr ? *at->string() : std::string();
}

double SimSettings::number(std::initializer_list<std::string_view> path) const {
    const JSON* at = find(path);
    return at != nullptr ? at->number().value_or(0.0) : 0.0;
}

void SimSettings::put(std::initializer_list<std::string_view> path, JSON value) {
    if (JSON* at = slot(path)) {
        *at = std::move(value);
    }
}

void SimSettings::setAt(const std::vector<JSON>& path, JSON value) {
    if (path.empty()) {
        throw SimScenarioError("path: expected at least one member name");
    }
    if (const std::string* first = path.front().string();
        first != nullptr && SimScenario::isModelMember(*first)) {
        throw SimScenarioError(*first + ": changed with the application commands, not with set");
    }
    JSON candidate = settings_;
    JSON* at = &candidate;
    std::string where;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool last = i + 1 == path.size();
        if (const std::string* key = path[i].string()) {
            where += (where.empty() ? "" : ".") + *key;
            JSON::Object* object = at->object();
            if (object == nullptr) {
                throw SimScenarioError(where + ": not inside an object");
            }
            auto found = object->find(*key);
            if (found == object->end()) {
                if (!last) {
                    throw SimScenarioError(where + ": no such member");
                }
                found = object->emplace(*key, JSON(nullptr)).first;
            }
            at = &found->second;
        } else if (std::optional<double> index = path[i].number()) {
            // Appended piece by piece: GCC 12 reports a false -Wrestrict overlap for
            // `"[" + std::string&&` once inlined.
            where += '[';
            where += path[i].data();
            where += ']';
            JSON::Array* array = at->array();
            if (array == nullptr || *index < 0 || *index >= static_cast<double>(array->size()) ||
                *index != static_cast<double>(static_cast<std::size_t>(*index))) {
                throw SimScenarioError(where + ": no such array element");
            }
            at = &(*array)[static_cast<std::size_t>(*index)];
        } else {
            throw SimScenarioError("path: expected member names and array indexes");
        }
    }
    *at = std::move(value);
    settings_ = SimScenario::normaliseSettings(std::move(candidate));
}

void SimSettings::patch(const JSON& changes) {
    const JSON::Object* members = changes.object();
    if (members == nullptr) {
        throw SimScenarioError("patch: expected an object");
    }
    for (const auto& [key, value] : *members) {
        if (SimScenario::isModelMember(key)) {
            throw SimScenarioError(key + ": changed with the application commands, not a patch");
        }
    }
    // Members removed by the patch come back with their defaults.
    settings_ = SimScenario::normaliseSettings(mergePatch(settings_, changes));
}

void SimSettings::setLocked(bool locked) {
    const double uid = number({"console", "uid"});
    put({"console", "locked"}, JSON(locked));
    // The user's console record carries its own copy of the flag when it has one.
    if (JSON* users = slot({"console", "users"}); users != nullptr && users->array() != nullptr) {
        for (JSON& record : *users->array()) {
            JSON::Object* fields = record.object();
            if (fields == nullptr) {
                continue;
            }
            auto user = fields->find("kCGSSessionUserIDKey");
            auto flag = fields->find("CGSSessionScreenIsLocked");
            if (user != fields->end() && user->second.number() == uid && flag != fields->end()) {
                flag->second = JSON(locked);
            }
        }
    }
}

} // namespace corvane
