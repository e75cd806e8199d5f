#pragma once

#include "platform/UserDefaultsError.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The persistent key-value preferences of the user. A value read as another type than stored is
// absent.
//
// Every write reaches the disk before it returns, or throws UserDefaultsError. After a write that
// threw, reads give what the store really holds (normally the value from before the write), never
// a value that exists only in memory.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    virtual std::optional<bool> boolValue(const std::string& key) const = 0;
    virtual std::optional<std::int64_t> integerValue(const std::string& key) const = 0;
    virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
    virtual std::optional<std::vector<std::string>>
    stringListValue(const std::string& key) const = 0;

    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setInteger(const std::string& key, std::int64_t value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setStringList(const std::string& key, const std::vector<std::string>& value) = 0;
    virtual void remove(const std::string& key) = 0;
};

} // namespace corvane
