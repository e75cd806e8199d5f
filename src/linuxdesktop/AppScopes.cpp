#include "linuxdesktop/AppScopes.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace corvane {

namespace {

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// systemd's unit name escaping: "\xNN" for a byte; anything else malformed is refused.
std::optional<std::string> unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            return std::nullopt;
        }
        out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
        i += 3;
    }
    return out;
}

// The unified hierarchy's path of the process ("0::/user.slice/.../app-….scope"). Plain reads:
// this runs for every process of the system.
std::string cgroupPath(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    ::close(fd);
    if (n <= 0) {
        return {};
    }
    const std::string_view text(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        if (line.starts_with("0::")) {
            return std::string(line.substr(3));
        }
        start = end + 1;
    }
    return {};
}

} // namespace

AppScopes::AppScopes(std::string procRoot)
    : procRoot_(std::move(procRoot)) {}

std::optional<std::string> AppScopes::desktopIDOfUnit(const std::string& unit) {
    std::string_view name(unit);
    if (!name.starts_with("app-")) {
        return std::nullopt;
    }
    name.remove_prefix(4);
    std::string_view id;
    if (endsWith(name, ".service")) {
        // app[-<launcher>]-<id>[@<random>].service
        name.remove_suffix(8);
        name = name.substr(0, std::min(name.find('@'), name.size()));
        id = name.substr(name.rfind('-') == std::string_view::npos ? 0 : name.rfind('-') + 1);
    } else if (endsWith(name, ".scope")) {
        // app[-<launcher>]-<id>-<random>.scope
        name.remove_suffix(6);
        const std::size_t last = name.rfind('-');
        if (last == std::string_view::npos || last == 0) {
            return std::nullopt;
        }
        name = name.substr(0, last);
        id = name.substr(name.rfind('-') == std::string_view::npos ? 0 : name.rfind('-') + 1);
    } else {
        return std::nullopt;
    }
    const std::optional<std::string> plain = unescaped(id);
    if (!plain || plain->empty() || plain->find('/') != std::string::npos) {
        return std::nullopt;
    }
    return *plain + ".desktop";
}

std::vector<AppScopes::Running> AppScopes::running() const {
    std::vector<std::int32_t> pids;
    if (DIR* dir = ::opendir(procRoot_.c_str())) {
        while (const dirent* item = ::readdir(dir)) {
            const std::string_view name(item->d_name);
            if (pids.size() >= processLimit || name.empty() ||
                !std::all_of(name.begin(), name.end(),
                             [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
                name.size() > 9) {
                continue;
            }
            pids.push_back(static_cast<std::int32_t>(std::stol(std::string(name))));
        }
        ::closedir(dir);
    }
    std::sort(pids.begin(), pids.end());
    std::vector<Running> found;
    std::map<std::string, std::size_t> byUnit;
    for (const std::int32_t pid : pids) {
        const std::string path = cgroupPath(procRoot_ + '/' + std::to_string(pid) + "/cgroup");
        const std::string unit = path.substr(path.rfind('/') + 1);
        const std::optional<std::string> id = desktopIDOfUnit(unit);
        if (!id || !byUnit.try_emplace(path, found.size()).second) {
            continue;
        }
        found.push_back({pid, *id});
    }
    return found;
}

} // namespace corvane
