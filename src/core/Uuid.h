#pragma once

#include <string>
#include <string_view>

namespace corvane {

// UUIDs in canonical text form: 8-4-4-4-12 hexadecimal digits.
namespace Uuid {

// True for the canonical form in either letter case (no braces, no "urn:uuid:").
bool isCanonical(std::string_view text) noexcept;

// A fresh random UUID, lower-case canonical text.
std::string make();

} // namespace Uuid

} // namespace corvane
