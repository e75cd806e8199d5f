#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvane {

// An accessibility element handle: an opaque token that only the backend that issued it can
// interpret. Two handles are equal exactly when they name the same element (the platform's element
// equality), so handles can be kept in lists and maps and compared after a fresh read.
class AXElement {
public:
    constexpr AXElement() noexcept = default;
    constexpr explicit AXElement(std::uint64_t token) noexcept
        : token_(token) {}

    constexpr std::uint64_t token() const noexcept { return token_; }
    constexpr bool isValid() const noexcept { return token_ != 0; }

    friend constexpr bool operator==(AXElement a, AXElement b) noexcept {
        return a.token_ == b.token_;
    }

private:
    std::uint64_t token_ = 0;
};

} // namespace corvane

template <>
struct std::hash<corvane::AXElement> {
    std::size_t operator()(corvane::AXElement element) const noexcept {
        return std::hash<std::uint64_t>{}(element.token());
    }
};
