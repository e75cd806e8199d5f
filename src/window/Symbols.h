#pragma once

#include <QIcon>

#include <span>
#include <string_view>

namespace corvane {

// The window's symbols by the names the pages use ("desktopcomputer", "link"...): each maps to an
// icon of the freedesktop naming scheme, taken from the desktop's theme when it has one, else
// from a small bundled drawing of the same name.
class Symbols {
public:
    struct Entry {
        std::string_view symbol;
        std::string_view themeName;
    };

    static std::span<const Entry> table();
    // The theme name for `symbol`; empty for a name the table does not hold.
    static std::string_view themeName(std::string_view symbol);
    // The bundled drawing for a theme name (":/symbols/NAME.svg").
    static QString fallbackPath(std::string_view themeName);
    // A null icon for an unknown symbol.
    static QIcon icon(std::string_view symbol);
};

} // namespace corvane
