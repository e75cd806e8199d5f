#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// A scenario (or a change to one) that cannot be taken: not JSON, a wrong type, an unknown field,
// an impossible reference. The message names the place, e.g. "apps[3].bundle.LSUIElement: expected
// a boolean". Nothing of a refused scenario is applied.
class SimScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace corvane
