#pragma once

#include <concepts>
#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

// Raised by JSON::parse for text that is not one valid JSON document (RFC 8259), a number that
// does not fit a double, or nesting deeper than JSON::maxDepth. Not a ContractError: each caller
// decides which code it becomes.
class JSONReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raised by JSON::data for a value that cannot be written: a NaN or infinite number, a string
// that is not valid UTF-8, or nesting deeper than JSON::maxDepth.
class JSONWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The value type of every command, parameter, result, message and file record. Numbers are
// doubles (there is no integer case); strings hold UTF-8 and compare under Unicode canonical
// equivalence; objects compare regardless of member order.
class JSON {
public:
    using Object = std::map<std::string, JSON, std::less<>>;
    using Array = std::vector<JSON>;

    // The cases, in the order a read value is tried against them.
    enum class Kind { Object, Array, String, Number, Bool, Null };

    // Deeper nesting is refused when reading and when writing: every walk over a value is
    // recursive, so the bound keeps the stack safe.
    static constexpr int maxDepth = 512;

    JSON()
    noexcept
        : value_(nullptr) {}
    JSON(std::nullptr_t)
    noexcept
        : value_(nullptr) {}
    JSON(bool b)
    noexcept
        : value_(b) {}
    JSON(double d)
    noexcept
        : value_(d) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) JSON(T n)
    noexcept
        : value_(static_cast<double>(n)) {}
    JSON(const char* s)
        : value_(std::string(s)) {}
    JSON(std::string s)
    noexcept
        : value_(std::move(s)) {}
    JSON(std::string_view s)
        : value_(std::string(s)) {}
    JSON(Object o)
    noexcept
        : value_(std::move(o)) {}
    JSON(Array a)
    noexcept
        : value_(std::move(a)) {}

    JSON(const JSON&) = default;
    // Defined out of line on purpose: inlined into a caller that has just built the value, the
    // variant's move makes GCC 12 report the inactive alternatives as maybe uninitialised (a
    // false positive: only the active one is read). The call costs less than the noise.
    JSON(JSON&&) noexcept;
    JSON& operator=(const JSON&) = default;
    JSON& operator=(JSON&&) noexcept = default;
    // Tears nested values down iteratively, so a deep value cannot overflow the stack.
    ~JSON();

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool isObject() const noexcept { return kind() == Kind::Object; }
    bool isArray() const noexcept { return kind() == Kind::Array; }
    bool isString() const noexcept { return kind() == Kind::String; }
    bool isNumber() const noexcept { return kind() == Kind::Number; }
    bool isBool() const noexcept { return kind() == Kind::Bool; }
    bool isNull() const noexcept { return kind() == Kind::Null; }
    // The only flag test: the bool case with payload true.
    bool isTrue() const noexcept;

    // Payload accessors: absent (null pointer / nullopt) for every other case.
    const Object* object() const noexcept { return std::get_if<Object>(&value_); }
    Object* object() noexcept { return std::get_if<Object>(&value_); }
    const Array* array() const noexcept { return std::get_if<Array>(&value_); }
    Array* array() noexcept { return std::get_if<Array>(&value_); }
    const std::string* string() const noexcept { return std::get_if<std::string>(&value_); }
    std::optional<double> number() const noexcept;
    std::optional<bool> boolean() const noexcept;

    // The member `key` of an object; absent when this is not an object or has no such member.
    const JSON* find(std::string_view key) const noexcept;
    std::optional<JSON> subscript(std::string_view key) const;
    // The string member `key`, or absent.
    const std::string* stringMember(std::string_view key) const noexcept;

    // Reads one UTF-8 JSON text; a top-level scalar is a whole document, and anything after the
    // value but whitespace (a NUL byte included) makes the text invalid. Throws JSONReadError.
    static JSON parse(std::string_view bytes);
    // Writes compact JSON: "\/" for the solidus, control characters escaped, other characters as
    // raw UTF-8; numbers as JavaScript's JSON.stringify writes them (shortest round-trip digits,
    // plain notation from 1e-6 up to 1e21, exponent form outside, negative zero as 0). Throws
    // JSONWriteError.
    std::string data() const;
    void appendData(std::string& out) const;

    friend bool operator==(const JSON& a, const JSON& b);

private:
    std::variant<Object, Array, std::string, double, bool, std::nullptr_t> value_;
};

// True when two UTF-8 texts are equal under Unicode canonical equivalence.
bool canonicallyEqual(std::string_view a, std::string_view b);

} // namespace corvane
