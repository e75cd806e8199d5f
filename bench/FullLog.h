#pragma once

#include "core/WireTime.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace corvane::bench {

// A command log of valid final records of `action`, stamped now, up to `bytes`.
inline void fillLog(const std::filesystem::path& file, std::size_t bytes,
                    const std::string& action) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    const std::string stamp = WireTime::text(std::chrono::system_clock::now());
    const std::string line =
        R"({"action":")" + action +
        R"(","command_id":"6f1c1b2e-8a5d-4a4e-9a51-3f7c2d9e0b11","created_at":")" + stamp +
        R"(","outcome":"succeeded","params":{}})" + "\n";
    for (std::size_t written = 0; written + line.size() <= bytes; written += line.size()) {
        out << line;
    }
}

} // namespace corvane::bench
