#pragma once

#include <string>

namespace corvane {

// The operating system's version: the three numbers, and the human-readable text the platform
// formats (for example "Version 14.5 (Build 23F79)").
struct OSVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string text;
};

} // namespace corvane
