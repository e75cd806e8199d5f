#pragma once

#include "CorvanePlatform/UserDefaults.h"

#include <map>
#include <mutex>
#include <variant>

namespace corvane {

// Preferences kept in memory, for a simulated Mac that must not touch the real settings file
// (tests, throw-away demos). A value read as another type than stored is absent.
class SimUserDefaults final : public UserDefaults {
public:
    std::optional<bool> boolValue(const std::string& key) const override;
    std::optional<std::int64_t> integerValue(const std::string& key) const override;
    std::optional<std::string> stringValue(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringListValue(const std::string& key) const override;

    void setBool(const std::string& key, bool value) override;
    void setInteger(const std::string& key, std::int64_t value) override;
    void setString(const std::string& key, const std::string& value) override;
    void setStringList(const std::string& key, const std::vector<std::string>& value) override;
    void remove(const std::string& key) override;

private:
    using Value = std::variant<bool, std::int64_t, std::string, std::vector<std::string>>;

    template <typename T>
    std::optional<T> get(const std::string& key) const {
        std::lock_guard guard(mutex_);
        auto found = values_.find(key);
        if (found == values_.end() || !std::holds_alternative<T>(found->second)) {
            return std::nullopt;
        }
        return std::get<T>(found->second);
    }
    void set(const std::string& key, Value value);

    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> values_;
};

} // namespace corvane
