#include "core/JSON.h"

#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace corvane {

namespace {

// Builds our value straight from the reader's events: no second tree is made.
class Builder : public nlohmann::json_sax<nlohmann::json> {
public:
    JSON result;
    std::string error;

    bool null() override { return put(JSON(nullptr)); }
    bool boolean(bool value) override { return put(JSON(value)); }
    bool number_integer(number_integer_t value) override {
        return put(JSON(static_cast<double>(value)));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return put(JSON(static_cast<double>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override { return put(JSON(value)); }
    bool string(string_t& value) override { return put(JSON(std::move(value))); }
    bool binary(binary_t&) override {
        error = "binary values are not JSON";
        return false;
    }
    bool start_object(std::size_t) override { return open(JSON(JSON::Object{})); }
    bool key(string_t& value) override {
        keys_.back() = std::move(value);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JSON(JSON::Array{})); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        error = e.what();
        return false;
    }

private:
    // Containers still open, innermost last; keys_ runs alongside with the pending member name.
    std::vector<JSON> open_;
    std::vector<std::string> keys_;

    bool put(JSON value) {
        if (open_.empty()) {
            result = std::move(value);
        } else if (JSON::Array* array = open_.back().array()) {
            array->push_back(std::move(value));
        } else {
            // A repeated key keeps the last value.
            open_.back().object()->insert_or_assign(std::move(keys_.back()), std::move(value));
        }
        return true;
    }

    bool open(JSON container) {
        if (open_.size() >= static_cast<std::size_t>(JSON::maxDepth)) {
            error = "nesting deeper than " + std::to_string(JSON::maxDepth) + " levels";
            return false;
        }
        open_.push_back(std::move(container));
        keys_.emplace_back();
        return true;
    }

    bool close() {
        JSON done = std::move(open_.back());
        open_.pop_back();
        keys_.pop_back();
        return put(std::move(done));
    }
};

bool hasNestedContainers(const JSON& value) {
    if (const JSON::Object* object = value.object()) {
        for (const auto& member : *object) {
            if (member.second.isObject() || member.second.isArray()) {
                return true;
            }
        }
    } else if (const JSON::Array* array = value.array()) {
        for (const JSON& element : *array) {
            if (element.isObject() || element.isArray()) {
                return true;
            }
        }
    }
    return false;
}

// Moves every child container of `value` onto `pending` and empties `value`.
void detachChildren(JSON& value, std::vector<JSON>& pending) {
    if (JSON::Object* object = value.object()) {
        for (auto& member : *object) {
            if (member.second.isObject() || member.second.isArray()) {
                pending.push_back(std::move(member.second));
            }
        }
        object->clear();
    } else if (JSON::Array* array = value.array()) {
        for (JSON& element : *array) {
            if (element.isObject() || element.isArray()) {
                pending.push_back(std::move(element));
            }
        }
        array->clear();
    }
}

constexpr char hexDigits[] = "0123456789abcdef";

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not valid
// (overlong forms, surrogates and values beyond U+10FFFF are invalid).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return static_cast<unsigned char>(text[k]);
    };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void writeString(std::string_view text, std::string& out) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                throw JSONWriteError("string is not valid UTF-8");
            }
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hexDigits[c >> 4]);
                out.push_back(hexDigits[c & 0xF]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        ++i;
    }
    out.push_back('"');
}

// Writes a finite number the way JavaScript's JSON.stringify does, so that every reader of the
// agent's text (dashboards, relays, assistants) sees the same bytes and whole numbers stay whole:
// the shortest digits that read back to the same double, plain notation for magnitudes in
// [1e-6, 1e21), exponent form ("1e+21", "1.5e-7") outside it, negative zero as 0.
void writeNumber(double value, std::string& out) {
    if (!std::isfinite(value)) {
        throw JSONWriteError("NaN and infinite numbers cannot be written");
    }
    // Negative zero is written as 0: the reader cannot keep the sign of an integer token "-0",
    // and writing "-0" would make a value's text change across one read and write.
    if (value == 0.0) {
        out.push_back('0');
        return;
    }
    // Counts and sizes: below 2^53 an integral double's exact digits are also its shortest ones.
    if (std::fabs(value) < 0x1p53 && std::trunc(value) == value) {
        char buffer[24];
        const auto result =
            std::to_chars(std::begin(buffer), std::end(buffer), static_cast<std::int64_t>(value));
        out.append(buffer, result.ptr);
        return;
    }

    // The shortest round-trip digits as "[-]d[.ddd]e(+|-)dd[d]", laid out again in `text`.
    char scientific[32];
    const char* const end = std::to_chars(std::begin(scientific), std::end(scientific), value,
                                          std::chars_format::scientific)
                                .ptr;
    char text[48];
    char* o = text;
    const char* p = scientific;
    if (*p == '-') {
        *o++ = '-';
        ++p;
    }
    char digits[20];
    int count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') {
            digits[count++] = *p;
        }
    }
    const bool negativeExponent = p[1] == '-';
    int exponent = 0;
    for (p += 2; p != end; ++p) {
        exponent = exponent * 10 + (*p - '0');
    }
    if (negativeExponent) {
        exponent = -exponent;
    }

    // The value is 0.d1d2...dk × 10^point.
    const int point = exponent + 1;
    const auto copy = [&o](const char* from, int n) {
        o = std::copy_n(from, n, o);
    };
    if (count <= point && point <= 21) {
        copy(digits, count);
        o = std::fill_n(o, point - count, '0');
    } else if (0 < point && point <= 21) {
        copy(digits, point);
        *o++ = '.';
        copy(digits + point, count - point);
    } else if (-6 < point && point <= 0) {
        *o++ = '0';
        *o++ = '.';
        o = std::fill_n(o, -point, '0');
        copy(digits, count);
    } else {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            copy(digits + 1, count - 1);
        }
        *o++ = 'e';
        *o++ = negativeExponent ? '-' : '+';
        o = std::to_chars(o, std::end(text), negativeExponent ? -exponent : exponent).ptr;
    }
    out.append(text, o);
}

void writeValue(const JSON& value, std::string& out, int depth) {
    switch (value.kind()) {
    case JSON::Kind::Object: {
        if (depth >= JSON::maxDepth) {
            throw JSONWriteError("nesting too deep");
        }
        out.push_back('{');
        bool first = true;
        for (const auto& [key, member] : *value.object()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            writeString(key, out);
            out.push_back(':');
            writeValue(member, out, depth + 1);
        }
        out.push_back('}');
        break;
    }
    case JSON::Kind::Array: {
        if (depth >= JSON::maxDepth) {
            throw JSONWriteError("nesting too deep");
        }
        out.push_back('[');
        bool first = true;
        for (const JSON& element : *value.array()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            writeValue(element, out, depth + 1);
        }
        out.push_back(']');
        break;
    }
    case JSON::Kind::String:
        writeString(*value.string(), out);
        break;
    case JSON::Kind::Number:
        writeNumber(*value.number(), out);
        break;
    case JSON::Kind::Bool:
        out += value.isTrue() ? "true" : "false";
        break;
    case JSON::Kind::Null:
        out += "null";
        break;
    }
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

JSON::~JSON() {
    // Common case: nothing below the direct children, so the ordinary recursion is one level.
    if (!hasNestedContainers(*this)) {
        return;
    }
    std::vector<JSON> pending;
    detachChildren(*this, pending);
    while (!pending.empty()) {
        JSON node = std::move(pending.back());
        pending.pop_back();
        detachChildren(node, pending);
    }
}

bool JSON::isTrue() const noexcept {
    const bool* b = std::get_if<bool>(&value_);
    return b != nullptr && *b;
}

std::optional<double> JSON::number() const noexcept {
    if (const double* d = std::get_if<double>(&value_)) {
        return *d;
    }
    return std::nullopt;
}

std::optional<bool> JSON::boolean() const noexcept {
    if (const bool* b = std::get_if<bool>(&value_)) {
        return *b;
    }
    return std::nullopt;
}

const JSON* JSON::find(std::string_view key) const noexcept {
    const Object* members = object();
    if (members == nullptr) {
        return nullptr;
    }
    const auto it = members->find(key);
    return it == members->end() ? nullptr : &it->second;
}

std::optional<JSON> JSON::subscript(std::string_view key) const {
    if (const JSON* member = find(key)) {
        return *member;
    }
    return std::nullopt;
}

const std::string* JSON::stringMember(std::string_view key) const noexcept {
    const JSON* member = find(key);
    return member == nullptr ? nullptr : member->string();
}

JSON JSON::parse(std::string_view bytes) {
    // The reader's lexer takes a NUL byte for the end of the input (it serves C strings too), so
    // "123", a NUL and anything at all would read as 123. No JSON text holds a raw NUL: inside a
    // string it is an unescaped control character, outside one it is no token or whitespace.
    if (const std::size_t nul = bytes.find('\0'); nul != std::string_view::npos) {
        throw JSONReadError("a NUL byte at offset " + std::to_string(nul) + " is not JSON");
    }
    Builder builder;
    const bool ok = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder,
                                              nlohmann::json::input_format_t::json, true);
    if (!ok) {
        throw JSONReadError(builder.error.empty() ? std::string("invalid JSON") : builder.error);
    }
    return std::move(builder.result);
}

JSON::JSON(JSON&&) noexcept = default;

std::string JSON::data() const {
    std::string out;
    appendData(out);
    return out;
}

void JSON::appendData(std::string& out) const {
    const std::size_t mark = out.size();
    try {
        writeValue(*this, out, 0);
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

bool operator==(const JSON& a, const JSON& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
    case JSON::Kind::Object: {
        const JSON::Object& left = *a.object();
        const JSON::Object& right = *b.object();
        if (left.size() != right.size()) {
            return false;
        }
        for (const auto& [key, value] : left) {
            const auto it = right.find(key);
            if (it == right.end() || !(value == it->second)) {
                return false;
            }
        }
        return true;
    }
    case JSON::Kind::Array:
        return *a.array() == *b.array();
    case JSON::Kind::String:
        return canonicallyEqual(*a.string(), *b.string());
    case JSON::Kind::Number:
        return *a.number() == *b.number();
    case JSON::Kind::Bool:
        return a.isTrue() == b.isTrue();
    case JSON::Kind::Null:
        return true;
    }
    return false;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    // ASCII text is its own canonical decomposition, so differing ASCII texts are never equivalent.
    if (isAscii(a) && isAscii(b)) {
        return false;
    }
    const auto decomposed = [](std::string_view text) {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
            .normalized(QString::NormalizationForm_D);
    };
    return decomposed(a) == decomposed(b);
}

} // namespace corvane
