#pragma once

#include "core/JSON.h"

#include <string>
#include <string_view>

namespace corvane {

// JSON written for a person at a terminal: indented by two spaces, one member or element a line,
// "/" as itself. The value stays the same JSON (a script may still read it), but characters that
// could steer a terminal or turn text around (control and format characters, line and paragraph
// separators) are written as \u escapes. Scripts that want the agent's exact bytes ask for them
// (--json).
class PrettyJSON {
public:
    static std::string text(const JSON& value);
    // `bytes` read as JSON and written for a person; bytes that are not JSON come back as they
    // are.
    static std::string fromBytes(std::string_view bytes);
};

} // namespace corvane
