#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The approved Shortcut names, in the order they were added. Names match byte for byte: no case
// folding and no Unicode normalisation, so what runs is exactly what the person approved.
class ShortcutAllowlist {
public:
    // Longest name accepted by add(), in Unicode scalar values.
    static constexpr std::size_t maxNameLength = 200;

    ShortcutAllowlist() = default;
    explicit ShortcutAllowlist(std::vector<std::string> names)
        : names_(std::move(names)) {}

    const std::vector<std::string>& names() const noexcept { return names_; }

    bool allows(std::string_view name) const noexcept;
    // Appends a new name; a name already present leaves the list unchanged. Throws
    // "invalid_shortcut_name" unless isValidName(name).
    void add(const std::string& name);
    // Removes every entry equal to `name`, keeping the order of the rest.
    void remove(std::string_view name);

    // Non-empty well-formed UTF-8 of at most maxNameLength scalar values, without control or
    // format characters (line breaks, tabs, invisible direction marks) or line and paragraph
    // separators. The one rule for a Shortcut name, wherever one is added.
    static bool isValidName(std::string_view name);

private:
    std::vector<std::string> names_;
};

} // namespace corvane
