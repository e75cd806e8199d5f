#include "platform/PlatformValue.h"

namespace corvane {

std::optional<bool> PlatformValue::boolean() const noexcept {
    if (const bool* b = std::get_if<bool>(&value_)) {
        return *b;
    }
    return std::nullopt;
}

std::optional<std::int64_t> PlatformValue::integer() const noexcept {
    if (const std::int64_t* n = std::get_if<std::int64_t>(&value_)) {
        return *n;
    }
    return std::nullopt;
}

std::optional<double> PlatformValue::real() const noexcept {
    if (const double* d = std::get_if<double>(&value_)) {
        return *d;
    }
    return std::nullopt;
}

std::optional<double> PlatformValue::number() const noexcept {
    if (const std::int64_t* n = std::get_if<std::int64_t>(&value_)) {
        return static_cast<double>(*n);
    }
    return real();
}

std::optional<WireTime::Instant> PlatformValue::date() const noexcept {
    if (const WireTime::Instant* t = std::get_if<WireTime::Instant>(&value_)) {
        return *t;
    }
    return std::nullopt;
}

std::optional<AXElement> PlatformValue::element() const noexcept {
    if (const AXElement* e = std::get_if<AXElement>(&value_)) {
        return *e;
    }
    return std::nullopt;
}

std::optional<QPointF> PlatformValue::point() const noexcept {
    if (const QPointF* p = std::get_if<QPointF>(&value_)) {
        return *p;
    }
    return std::nullopt;
}

std::optional<QSizeF> PlatformValue::size() const noexcept {
    if (const QSizeF* s = std::get_if<QSizeF>(&value_)) {
        return *s;
    }
    return std::nullopt;
}

const PlatformValue* PlatformValue::find(std::string_view key) const noexcept {
    const Dictionary* members = dictionary();
    if (members == nullptr) {
        return nullptr;
    }
    const auto it = members->find(key);
    return it == members->end() ? nullptr : &it->second;
}

} // namespace corvane
