#include "sim/SimValueCodec.h"

#include "sim/SimScenarioError.h"

#include <cmath>
#include <limits>

namespace corvane::SimValueCodec {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw SimScenarioError(path + ": " + what);
}

bool isWhole(double d) {
    return std::isfinite(d) && std::floor(d) == d && std::fabs(d) < 9.0e15;
}

const JSON* escape(const JSON& value, std::string* name) {
    const JSON::Object* object = value.object();
    if (object == nullptr || object->size() != 1 || object->begin()->first.empty() ||
        object->begin()->first.front() != '$') {
        return nullptr;
    }
    *name = object->begin()->first;
    return &object->begin()->second;
}

bool isPair(const JSON& value) {
    const JSON::Array* array = value.array();
    return array != nullptr && array->size() == 2 && (*array)[0].isNumber() &&
           (*array)[1].isNumber();
}

} // namespace

void validate(const JSON& value, const std::string& path, bool allowRefs) {
    std::string name;
    if (const JSON* inner = escape(value, &name)) {
        if (name == "$real") {
            if (!inner->isNumber()) {
                refuse(path + "." + name, "expected a number");
            }
        } else if (name == "$date") {
            if (inner->string() == nullptr || !WireTime::parse(*inner->string())) {
                refuse(path + "." + name, "expected a wire time such as 2026-01-02T03:04:05.000Z");
            }
        } else if (name == "$point" || name == "$size") {
            if (!isPair(*inner)) {
                refuse(path + "." + name, "expected two numbers");
            }
        } else if (name == "$ref" && allowRefs) {
            if (inner->string() == nullptr) {
                refuse(path + "." + name, "expected an element id");
            }
        } else {
            refuse(path, "unknown value notation \"" + name + "\"");
        }
        return;
    }
    switch (value.kind()) {
    case JSON::Kind::Null:
        refuse(path, "null is not a platform value");
    case JSON::Kind::Array: {
        std::size_t i = 0;
        for (const JSON& item : *value.array()) {
            validate(item, path + "[" + std::to_string(i++) + "]", allowRefs);
        }
        return;
    }
    case JSON::Kind::Object:
        for (const auto& [key, item] : *value.object()) {
            validate(item, path + "." + key, allowRefs);
        }
        return;
    default:
        return;
    }
}

PlatformValue fromJSON(const JSON& value, const RefResolver& refs) {
    std::string name;
    if (const JSON* inner = escape(value, &name)) {
        if (name == "$real") {
            return PlatformValue(inner->number().value_or(0.0));
        }
        if (name == "$date") {
            return PlatformValue(WireTime::parse(*inner->string()).value_or(WireTime::Instant{}));
        }
        if (name == "$point" || name == "$size") {
            const JSON::Array& pair = *inner->array();
            const double a = pair[0].number().value_or(0.0);
            const double b = pair[1].number().value_or(0.0);
            return name == "$point" ? PlatformValue(QPointF(a, b)) : PlatformValue(QSizeF(a, b));
        }
        if (name == "$ref" && inner->string() != nullptr) {
            std::optional<AXElement> element = refs ? refs(*inner->string()) : std::nullopt;
            return PlatformValue(element.value_or(AXElement{}));
        }
    }
    switch (value.kind()) {
    case JSON::Kind::Bool:
        return PlatformValue(value.isTrue());
    case JSON::Kind::Number: {
        const double d = *value.number();
        if (isWhole(d)) {
            return PlatformValue(static_cast<std::int64_t>(d));
        }
        return PlatformValue(d);
    }
    case JSON::Kind::String:
        return PlatformValue(*value.string());
    case JSON::Kind::Array: {
        PlatformValue::Array array;
        for (const JSON& item : *value.array()) {
            array.push_back(fromJSON(item, refs));
        }
        return PlatformValue(std::move(array));
    }
    case JSON::Kind::Object: {
        PlatformValue::Dictionary dictionary;
        for (const auto& [key, item] : *value.object()) {
            dictionary.emplace(key, fromJSON(item, refs));
        }
        return PlatformValue(std::move(dictionary));
    }
    case JSON::Kind::Null:
        break;
    }
    return PlatformValue(std::string());
}

JSON toJSON(const PlatformValue& value) {
    switch (value.kind()) {
    case PlatformValue::Kind::Bool:
        return JSON(*value.boolean());
    case PlatformValue::Kind::Integer:
        return JSON(static_cast<double>(*value.integer()));
    case PlatformValue::Kind::Real: {
        const double d = *value.real();
        if (!std::isfinite(d)) {
            return JSON(nullptr);
        }
        // A whole real would read back as an integer: keep its kind visible.
        if (isWhole(d)) {
            return JSON(JSON::Object{{"$real", JSON(d)}});
        }
        return JSON(d);
    }
    case PlatformValue::Kind::String:
        return JSON(*value.string());
    case PlatformValue::Kind::Date:
        return JSON(JSON::Object{{"$date", JSON(WireTime::text(*value.date()))}});
    case PlatformValue::Kind::Array: {
        JSON::Array array;
        for (const PlatformValue& item : *value.array()) {
            array.push_back(toJSON(item));
        }
        return JSON(std::move(array));
    }
    case PlatformValue::Kind::Dictionary: {
        JSON::Object object;
        for (const auto& [key, item] : *value.dictionary()) {
            object.emplace(key, toJSON(item));
        }
        return JSON(std::move(object));
    }
    case PlatformValue::Kind::Element:
        return JSON(
            JSON::Object{{"$element", JSON(static_cast<double>(value.element()->token()))}});
    case PlatformValue::Kind::Point: {
        const QPointF p = *value.point();
        return JSON(JSON::Object{{"$point", JSON(JSON::Array{JSON(p.x()), JSON(p.y())})}});
    }
    case PlatformValue::Kind::Size: {
        const QSizeF s = *value.size();
        return JSON(JSON::Object{{"$size", JSON(JSON::Array{JSON(s.width()), JSON(s.height())})}});
    }
    }
    return JSON(nullptr);
}

} // namespace corvane::SimValueCodec
