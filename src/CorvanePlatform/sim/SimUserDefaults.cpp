#include "CorvanePlatform/sim/SimUserDefaults.h"

namespace corvane {

std::optional<bool> SimUserDefaults::boolValue(const std::string& key) const {
    return get<bool>(key);
}

std::optional<std::int64_t> SimUserDefaults::integerValue(const std::string& key) const {
    return get<std::int64_t>(key);
}

std::optional<std::string> SimUserDefaults::stringValue(const std::string& key) const {
    return get<std::string>(key);
}

std::optional<std::vector<std::string>>
SimUserDefaults::stringListValue(const std::string& key) const {
    return get<std::vector<std::string>>(key);
}

void SimUserDefaults::set(const std::string& key, Value value) {
    std::lock_guard guard(mutex_);
    values_[key] = std::move(value);
}

void SimUserDefaults::setBool(const std::string& key, bool value) {
    set(key, value);
}

void SimUserDefaults::setInteger(const std::string& key, std::int64_t value) {
    set(key, value);
}

void SimUserDefaults::setString(const std::string& key, const std::string& value) {
    set(key, value);
}

void SimUserDefaults::setStringList(const std::string& key, const std::vector<std::string>& value) {
    set(key, value);
}

void SimUserDefaults::remove(const std::string& key) {
    std::lock_guard guard(mutex_);
    values_.erase(key);
}

} // namespace corvane
