#pragma once

#include "core/WireTime.h"
#include "platform/AXElement.h"

#include <QPointF>
#include <QSizeF>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

// A value handed over by the operating system: registry and session dictionaries, bundle
// information, power-source descriptions, accessibility attributes, script results. Unlike JSON it
// keeps a genuine boolean apart from the numbers 0 and 1 and an integer apart from a real number,
// because several rules accept only the genuine kind.
class PlatformValue {
public:
    using Array = std::vector<PlatformValue>;
    using Dictionary = std::map<std::string, PlatformValue, std::less<>>;

    enum class Kind { Bool, Integer, Real, String, Date, Array, Dictionary, Element, Point, Size };

    PlatformValue(bool b)
        : value_(b) {}
    PlatformValue(std::int64_t n)
        : value_(n) {}
    PlatformValue(int n)
        : value_(static_cast<std::int64_t>(n)) {}
    PlatformValue(double d)
        : value_(d) {}
    PlatformValue(std::string s)
        : value_(std::move(s)) {}
    PlatformValue(const char* s)
        : value_(std::string(s)) {}
    PlatformValue(WireTime::Instant t)
        : value_(t) {}
    PlatformValue(Array a)
        : value_(std::move(a)) {}
    PlatformValue(Dictionary d)
        : value_(std::move(d)) {}
    PlatformValue(AXElement e)
        : value_(e) {}
    PlatformValue(QPointF p)
        : value_(p) {}
    PlatformValue(QSizeF s)
        : value_(s) {}

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }

    // Each accessor answers only for its own case: boolean() of the integer 1 is absent.
    std::optional<bool> boolean() const noexcept;
    std::optional<std::int64_t> integer() const noexcept;
    std::optional<double> real() const noexcept;
    // An integer or a real number as a double; never a boolean.
    std::optional<double> number() const noexcept;
    const std::string* string() const noexcept { return std::get_if<std::string>(&value_); }
    std::optional<WireTime::Instant> date() const noexcept;
    const Array* array() const noexcept { return std::get_if<Array>(&value_); }
    const Dictionary* dictionary() const noexcept { return std::get_if<Dictionary>(&value_); }
    std::optional<AXElement> element() const noexcept;
    std::optional<QPointF> point() const noexcept;
    std::optional<QSizeF> size() const noexcept;

    // The member `key` of a dictionary; null when this is not a dictionary or has no such key.
    const PlatformValue* find(std::string_view key) const noexcept;

    friend bool operator==(const PlatformValue& a, const PlatformValue& b) = default;

private:
    std::variant<bool, std::int64_t, double, std::string, WireTime::Instant, Array, Dictionary,
                 AXElement, QPointF, QSizeF>
        value_;
};

} // namespace corvane
