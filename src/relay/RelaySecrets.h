#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The relay's handling of bearer secrets: made from the system's random source, kept only as
// SHA-256 digests, compared in constant time.
namespace RelaySecrets {

// 32 random bytes as unpadded base64url (43 visible ASCII characters).
std::string randomToken();
// Lower-case hexadecimal SHA-256 of the UTF-8 bytes.
std::string digest(std::string_view secret);
// Equality that takes the same time wherever the texts differ.
bool same(std::string_view a, std::string_view b) noexcept;

} // namespace RelaySecrets

} // namespace corvane
