#pragma once

#include "core/JSON.h"
#include "platform/PlatformValue.h"

#include <functional>
#include <optional>
#include <string>

namespace corvane {

// Platform values written as JSON in scenarios and on the control channel. JSON booleans become
// genuine booleans, whole numbers integers and other numbers reals; objects with one "$" member
// carry the kinds JSON lacks: {"$real": 1}, {"$date": "2026-01-02T03:04:05.000Z"},
// {"$point": [x, y]}, {"$size": [w, h]} and, in accessibility attributes, {"$ref": "element-id"}.
// JSON null has no platform counterpart.
namespace SimValueCodec {

// Resolves a "$ref" to an element; absent when the name is unknown.
using RefResolver = std::function<std::optional<AXElement>(const std::string&)>;

// Throws SimScenarioError naming `path` when `value` is not a platform value (refs allowed only
// when `allowRefs`).
void validate(const JSON& value, const std::string& path, bool allowRefs);

// Converts a validated value; an unresolvable "$ref" becomes an invalid element.
PlatformValue fromJSON(const JSON& value, const RefResolver& refs = {});

// The JSON form of a value, in the notation above (elements as {"$element": token}).
JSON toJSON(const PlatformValue& value);

} // namespace SimValueCodec

} // namespace corvane
