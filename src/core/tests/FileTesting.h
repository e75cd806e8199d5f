#pragma once

// Small helpers shared by the tests of the private-file users.

#include "core/ContractError.h"
#include "core/DamagedFileError.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace corvane::testing {

inline std::filesystem::path pathOf(const QTemporaryDir& dir) {
    return std::filesystem::path(dir.path().toStdString());
}

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Permission bits of what is at `path`, without following a symbolic link.
inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        ADD_FAILURE() << "no such file " << path;
        return 0;
    }
    return info.st_mode & 07777;
}

// Names in `directory`, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The code of the ContractError `run` throws, or "none".
inline std::string codeOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const ContractError& error) {
        return error.code();
    }
    return "none";
}

// The what() of the `Error` that `run` throws; a failure when it throws nothing.
template <typename Error>
std::string whatOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const Error& error) {
        return error.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

// The what() of the DamagedFileError that `run` throws, once checked to begin with the error's own
// code, file and line; a failure when it throws nothing.
inline std::string damageOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const DamagedFileError& error) {
        const std::string line = error.line() > 0 ? ", line " + std::to_string(error.line()) : "";
        const std::string where = error.code() + ": " + error.file().string() + line + ": ";
        EXPECT_EQ(std::string(error.what()).substr(0, where.size()), where);
        return error.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

// Sets the process umask for one scope.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask)
        : previous_(::umask(mask)) {}
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;
    ~UmaskScope() { ::umask(previous_); }

private:
    mode_t previous_;
};

} // namespace corvane::testing
