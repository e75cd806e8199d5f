#pragma once

#include <exception>

namespace corvane {

// The window search ran past its deadline while reading an attribute. It never reaches a caller:
// the observation turns it into "desktop_window_unavailable" at once, without another attempt.
class ObservationPreparationError : public std::exception {
public:
    const char* what() const noexcept override { return "window search timed out"; }
};

} // namespace corvane
